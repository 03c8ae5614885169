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

#include "kit/HelperInfo.h"
#include "kit/ShellMessages.h"
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

// The reply to an open: a failed response when none arrives or it cannot be read.
struct OpenedShell {
    platform::UniqueFd terminal;
    kit::ShellLaunchResponse response;
    std::int32_t pid() const { return response.processIdentifier; }
};
OpenedShell openShell(ClientEnd& client, const kit::Blob& request);
// The helper's info through `client`; an empty record when none arrives or it cannot be read.
kit::HelperInfo fetchInfo(ClientEnd& client);
// Runs a command in the shell and returns what it printed up to a marker after it.
std::string runInShell(OpenedShell& shell, const std::string& command);

// Moves this single-threaded process into a private mount namespace (plus `extraFlags` namespaces) whose
// empty /run/systemd says "booted with systemd"; false without root.
bool enterSystemdNamespace(int extraFlags = 0);

// A real `systemd --user` for a throw-away home, once enterSystemdNamespace() succeeded. Without `start`
// the directories exist but no manager answers.
struct UserManager {
    explicit UserManager(bool start = true);
    ~UserManager();
    UserManager(const UserManager&) = delete;
    UserManager& operator=(const UserManager&) = delete;
    // Runs `executable` as the user would: this home and runtime directory, a plain PATH.
    [[nodiscard]] ProcessResult run(const std::filesystem::path& executable,
                                    const std::vector<std::string>& arguments) const;
    // A property of the helper's service unit; the pid the manager runs it as (0 for none).
    [[nodiscard]] std::string show(const std::string& property) const;
    [[nodiscard]] pid_t helperPid() const { return std::atoi(show("MainPID").c_str()); }
    // The info of the helper answering a client of `serviceName`.
    [[nodiscard]] kit::HelperInfo info(const std::string& serviceName) const;
    // Bind-mounts `source` over `target` (then remounts it with `flags`) until the manager ends.
    void mountOver(const std::filesystem::path& source, const std::filesystem::path& target,
                   unsigned long flags = 0);

    TemporaryDirectory scratch;
    std::filesystem::path home = scratch.path() / "home", runtime = scratch.path() / "run";
    std::filesystem::path installed = home / "Library/Application Support/Velmora Helper/Velmora Helper.app";
    bool ready = false;  // false where no private namespace could be had (not root)
    pid_t manager = -1;
    std::vector<std::filesystem::path> mounts, controlGroups;
};

// Descriptors the process holds, and its living child processes.
size_t descriptorCount(pid_t pid);
std::vector<pid_t> childProcesses(pid_t pid);
// True when no process `pid` exists (or it is a zombie) within the timeout.
bool waitForProcessGone(pid_t pid, std::chrono::milliseconds timeout);

// Every item below `root` with its mode and contents: equal trees compare equal.
std::map<std::string, std::string> tree(const std::filesystem::path& root);

}  // namespace velmora::testing
