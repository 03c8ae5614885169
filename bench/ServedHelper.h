#pragma once

// The built helper serving for a benchmark: started with --serve in a throw-away home and runtime
// directory, its standard streams on /dev/null; killed, reaped and its directory removed on destruction.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace velmora::bench {

class ServedHelper {
  public:
    // With `runtimeDirectory` (a user manager's, say) it serves there rather than in its own.
    explicit ServedHelper(const std::string& executable, const std::filesystem::path& runtimeDirectory = {});
    ~ServedHelper();
    ServedHelper(const ServedHelper&) = delete;
    ServedHelper& operator=(const ServedHelper&) = delete;

    // -1 when it could not be started.
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] std::string socketPath() const;

  private:
    std::filesystem::path scratch_, runtime_;
    pid_t pid_ = -1;
};

// A field of /proc/<pid>/status as a number (kB for sizes); -1 when it is missing.
double statusField(pid_t pid, const std::string& name);
// Entries of /proc/<pid>/fd.
std::size_t descriptorCount(pid_t pid);
// Both ends of many connections hold descriptors; the helper inherits the raised limit.
void raiseDescriptorLimit();

}  // namespace velmora::bench
