#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

struct ProcessResult {
    int exitStatus = -1;  // -1 when killed by a signal
    int termSignal = 0;
    std::string standardOutput;
    std::string standardError;
};

struct ProcessOptions {
    // The complete environment of the child; nothing is inherited.
    std::map<std::string, std::string> environment;
    std::optional<std::filesystem::path> workingDirectory;
    // The child is killed when it has not exited by then.
    std::chrono::milliseconds timeout{20000};
};

// Runs `executable` with `arguments` (argument zero is added) to completion, capturing both outputs.
ProcessResult runProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

// A throw-away directory, removed with everything in it on destruction.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Writes `contents` to `path`, creating parent directories.
void writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path);
// Bytes the process has read so far (rchar of /proc/<pid>/io).
std::uint64_t bytesReadBy(pid_t pid);

// Reads from a terminal's controlling side until `needle` has appeared; everything read so far.
std::string readUntil(int fd, const std::string& needle,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
void writeAll(int fd, const std::string& text);

}  // namespace velmora::testing
