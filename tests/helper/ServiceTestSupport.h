#pragma once

// The built helper running as a separate process, and a client connected to it with the kit's
// client side.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/kit/XpcTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {

// The helper executable started with `arguments` in a throw-away home and runtime directory.
// Its standard error (where log lines go without a journal) is kept in a file.
class HelperProcess {
  public:
    explicit HelperProcess(std::vector<std::string> arguments = {"--serve"},
                           std::map<std::string, std::string> extraEnvironment = {});
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // Waits until the first service name accepts connections.
    [[nodiscard]] bool waitUntilListening(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    [[nodiscard]] std::string socketPath(size_t serviceIndex = 0) const;
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] const std::filesystem::path& runtimeDirectory() const { return runtime_; }
    [[nodiscard]] std::string log() const;
    // Waits for the process to end by itself; its wait status, or nothing on timeout.
    [[nodiscard]] std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    [[nodiscard]] bool running() const;

    static std::filesystem::path executable();

  private:
    TemporaryDirectory scratch_;
    std::filesystem::path home_;
    std::filesystem::path runtime_;
    std::filesystem::path logFile_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Descriptors the process holds, and its living child processes.
size_t descriptorCount(pid_t pid);
std::vector<pid_t> childProcesses(pid_t pid);
// True when no process `pid` exists (or it is a zombie) within the timeout.
bool waitForProcessGone(pid_t pid, std::chrono::milliseconds timeout);

// Reads from a terminal's controlling side until `needle` has appeared; everything read so far.
std::string readUntil(int fd, const std::string& needle,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
void writeAll(int fd, const std::string& text);
// Every item below `root` with its mode and contents: equal trees compare equal.
std::map<std::string, std::string> tree(const std::filesystem::path& root);

}  // namespace velmora::testing
