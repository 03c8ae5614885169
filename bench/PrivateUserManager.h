#pragma once

// A real `systemd --user` for a throw-away home, in a private mount namespace this process enters (so
// that /run/systemd says "booted with systemd" to it and to its children). As root only: without root
// nothing is started and running() is false. Stopped and its directory removed on destruction.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <vector>

namespace velmora::bench {

class PrivateUserManager {
  public:
    PrivateUserManager();
    ~PrivateUserManager();
    PrivateUserManager(const PrivateUserManager&) = delete;
    PrivateUserManager& operator=(const PrivateUserManager&) = delete;

    // True once the manager answers at runtimeDirectory()/systemd/private.
    [[nodiscard]] bool running() const { return running_; }
    [[nodiscard]] const std::filesystem::path& home() const { return home_; }
    [[nodiscard]] const std::filesystem::path& runtimeDirectory() const { return runtime_; }

  private:
    std::filesystem::path scratch_, home_, runtime_;
    pid_t pid_ = -1;
    bool running_ = false;
};

// Waits until every process is in a scope unit's group, for at most `timeout`; how many are.
std::size_t waitForScopes(const std::vector<pid_t>& pids, std::chrono::seconds timeout);

}  // namespace velmora::bench
