#pragma once

// Starting a child process with posix_spawn and waiting for it.
//
// A child is a program started with a plan (argument vector, environment, standard streams,
// session, signals, working directory) and later reaped exactly once by its owner, through the pid:
// nothing here reaps behind the owner's back. The pidfd pins the process for whoever needs to signal
// or watch it after the start.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::platform {

// Where one standard stream of the child comes from or goes to.
struct StandardStream {
    enum class Kind { inherited, nullDevice, descriptor, captured };
    Kind kind = Kind::inherited;
    // The descriptor for Kind::descriptor; it stays the caller's.
    int fd = -1;

    static StandardStream inherited() { return {}; }
    static StandardStream nullDevice() { return {Kind::nullDevice}; }
    static StandardStream descriptor(int fd) { return {Kind::descriptor, fd}; }
    // Standard output only: a pipe whose reading end the caller gets back.
    static StandardStream captured() { return {Kind::captured}; }
};

struct ProcessPlan {
    // Argument zero first; it is also the file executed (looked up in PATH with searchPath).
    std::vector<std::string> arguments;
    bool searchPath = false;
    // "NAME=value" texts; none means this process's environment.
    std::optional<std::vector<std::string>> environment;
    StandardStream standardInput;
    StandardStream standardOutput;
    StandardStream standardError;
    // The child leads a session of its own, away from this process's terminal.
    bool newSession = false;
    // SIGPIPE back at its default disposition and no signal blocked, whatever this process set.
    bool defaultSignals = false;
    std::optional<std::string> workingDirectory;
};

struct SpawnedProcess {
    pid_t pid = -1;
    // Invalid only when the kernel refused one (the child runs all the same).
    UniqueFd pidfd;
    // The reading end of standard output when it is captured.
    UniqueFd output;
};

// How a child ended.
struct ExitStatus {
    enum class Kind { exited, signalled };
    Kind kind = Kind::exited;
    // The exit status, or the number of the signal that ended it.
    int number = 0;

    [[nodiscard]] bool exitedWith(int status) const { return kind == Kind::exited && number == status; }
    // "exit 3" or "signal 9".
    [[nodiscard]] std::string description() const;

    friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

// Starts the plan. A failed exec is an error here ("posix_spawn"), not an exit status.
[[nodiscard]] tl::expected<SpawnedProcess, SystemError> spawnProcess(const ProcessPlan& plan);

// Waits for the child `pid` to end and reaps it.
[[nodiscard]] tl::expected<ExitStatus, SystemError> waitForExit(pid_t pid);

// Reaps the child `pid` if it has ended; nothing when it still runs.
[[nodiscard]] tl::expected<std::optional<ExitStatus>, SystemError> exitIfEnded(pid_t pid);

// Reads `fd` to its end, keeping at most `limit` bytes; the rest is read and dropped, so that a
// writer never blocks on a full pipe.
[[nodiscard]] tl::expected<std::string, SystemError> readToEnd(int fd, std::size_t limit);

struct FinishedProcess {
    ExitStatus status;
    // Standard output, when the plan captures it, up to the limit given.
    std::string output;
};

// Starts the plan, reads its captured output (if any) and waits for it.
[[nodiscard]] tl::expected<FinishedProcess, SystemError> runProcess(const ProcessPlan& plan,
                                                                    std::size_t outputLimit = 0);

}  // namespace velmora::platform
