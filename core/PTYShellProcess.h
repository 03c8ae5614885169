#pragma once

// One shell on a pseudo-terminal, from spawn to the reaping of its exit status.
//
// The object owns both ends of the terminal (master and slave) and a pidfd of the shell: three descriptors,
// the exit watch shares the pidfd. On Linux 6.9 and later signals go to the shell's process group through the
// pidfd, so a signal racing the reap can never reach a process that later received the same pid; older
// kernels (Debian 12's 6.1) fall back to kill(-pid), which is exact only until the shell has been reaped.
//
// Locking: one mutex guards the descriptors, both flags, the exit source and the kill timer. It is
// held across the reap and across TIOCSWINSZ; it is never held while signalling, closing descriptors
// or calling a handler, and no other lock is taken under it but the exit source's own, for the moment
// it takes to re-point an armed watch.
//
// Lifetime: timers and exit sources refer to the object weakly, so nothing keeps a shell object
// alive. When the last reference goes before the exit has been reaped, the destructor does what
// close(HangUp::yes) does (hang-up unless already closed) and hands the pidfd to a detached reaper on the
// utility queue. The reaper sends SIGKILL when the grace period of a hang-up runs out (counted from
// the hang-up, not from the release) and reaps the exit, so no zombie is left behind; the exit is
// reported to nobody, as whoever wanted to hear of it has let go. A shell closed without a hang-up
// is not killed: the reaper only waits for it.

#include <sys/ioctl.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "kit/ShellMessages.h"
#include "platform/Dispatch.h"
#include "platform/UniqueFd.h"

namespace velmora::core {

class PTYShellProcess : public std::enable_shared_from_this<PTYShellProcess> {
  public:
    struct ExitResult {
        // 0..255 after a normal exit; -1 when a signal ended the shell.
        std::int32_t exitStatus = 0;
        // The signal that ended it; 0 after a normal exit.
        std::int32_t terminationSignal = 0;
        friend bool operator==(const ExitResult&, const ExitResult&) = default;
    };

    // Why spawn failed; `description` is the whole message, shown to the client unchanged. Failures of
    // a system call read "<call> failed: <strerror text>", as "openpty failed: Too many open files";
    // beside openpty and ttyname these are fork (no child started), epoll_ctl (its exit watch cannot
    // be armed) and dup (the caller's copy of the terminal). In every such case the
    // shell has been killed and reaped and both terminal descriptors are closed.
    struct Failure {
        explicit Failure(std::string text, std::optional<platform::SystemError> cause = std::nullopt)
            : description(std::move(text)), systemError(std::move(cause)) {}
        // `prefix` followed by the error's strerror text.
        static Failure fromSystemError(const std::string& prefix, platform::SystemError error) {
            return Failure(prefix + error.reason(), std::move(error));
        }

        std::string description;
        // The system call that failed and its errno; nothing for failures that are not a call's.
        std::optional<platform::SystemError> systemError;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    static constexpr std::chrono::seconds hangUpGracePeriod{3};
    static constexpr std::int64_t kMinimumWindowSide = 1;
    static constexpr std::int64_t kMaximumWindowSide = 4096;

    // Starts a shell for `request`. A failure leaves no descriptor open and no child behind; a
    // failure inside the child (terminal, directory, exec) shows up later as exit status 127.
    // Call monitorExit right after: until then the exit status is not collected.
    [[nodiscard]] static tl::expected<std::shared_ptr<PTYShellProcess>, Failure> spawn(
        const kit::ShellLaunchRequest& request);

    // Told of each shell that spawn starts, on the spawning thread, before spawn returns: it stands on
    // the open's path and must not wait for anything. Set once, before the first spawn.
    using StartObserver = std::function<void(const PTYShellProcess&)>;
    static void setStartObserver(StartObserver observer);

    ~PTYShellProcess();
    PTYShellProcess(const PTYShellProcess&) = delete;
    PTYShellProcess& operator=(const PTYShellProcess&) = delete;

    [[nodiscard]] pid_t processIdentifier() const { return processIdentifier_; }
    [[nodiscard]] const std::string& ttyPath() const { return ttyPath_; }
    [[nodiscard]] const std::string& shellPath() const { return shellPath_; }
    [[nodiscard]] const std::string& workingDirectory() const { return workingDirectory_; }
    // Pins the shell process while held, past its exit until it is reaped.
    [[nodiscard]] const std::shared_ptr<const platform::UniqueFd>& pidfd() const { return pidfd_; }

    // The master end, not owned by the caller; -1 once closed. Pass it on before closing.
    [[nodiscard]] int masterFileHandle() const { return masterNumber_.load(); }
    // A close-on-exec duplicate of the master end, taken under the lock so that a concurrent
    // close cannot hand out a reused descriptor number. Fails (EBADF) once the terminal is closed.
    [[nodiscard]] tl::expected<platform::UniqueFd, platform::SystemError> duplicateMasterFileHandle() const;

    // Sets the window size, each side clamped to 1..4096. False once closed or when the ioctl fails.
    [[nodiscard]] bool resize(std::int64_t columns, std::int64_t rows);

    // Sends `signalNumber` to the shell's process group. False once the exit has been reaped.
    [[nodiscard]] bool signal(int signalNumber);

    enum class HangUp : bool { no, yes };
    // Closes both ends, once. With HangUp::yes, a shell that has not exited gets SIGHUP now and
    // SIGKILL after hangUpGracePeriod unless its exit is reaped first.
    void close(HangUp hangUp);

    // Calls `handler` on `queue` once the exit status has been reaped, at most once, and not at all
    // when the object is gone by then. A shell that has already exited is reported at once, on the
    // calling thread, before this returns. Fails ("epoll_ctl failed: …") when the watch cannot be
    // armed: then nobody will hear of the exit, so the caller must not keep the shell (see abandon).
    [[nodiscard]] tl::expected<void, Failure> monitorExit(std::shared_ptr<platform::DispatchQueue> queue,
                                                          std::function<void(ExitResult)> handler);

    // For a shell that must not be reported as opened: kills its process group, reaps it (waiting
    // for it on the calling thread) and closes the terminal. No exit handler is called afterwards.
    void abandon();

    // For tests: whether a delayed kill is armed.
    [[nodiscard]] bool hasPendingKillForTesting() const;

    // Where a requested shell and start directory lead; exposed for tests.
    [[nodiscard]] static tl::expected<std::string, Failure> resolveShellPath(
        const std::optional<std::string>& requested, const std::string& loginShell);
    [[nodiscard]] static std::string resolveWorkingDirectory(const std::optional<std::string>& requested,
                                                             const std::string& home);
    // The helper's own TMPDIR when it names an existing directory owned by the user, else nothing.
    [[nodiscard]] static std::optional<std::string> userTemporaryDirectory();

  private:
    PTYShellProcess(pid_t pid, std::shared_ptr<const platform::UniqueFd> pidfd, std::string ttyPath,
                    std::string shellPath, std::string workingDirectory, platform::UniqueFd master,
                    platform::UniqueFd slave);

    [[nodiscard]] static winsize windowSize(std::int64_t columns, std::int64_t rows);

    [[nodiscard]] std::optional<ExitResult> reapIfExited();
    void scheduleKillIfStillRunning();
    // The hang-up half of close(HangUp::yes), done as one step with recording when it happened.
    void hangUp();
    [[nodiscard]] bool sendToProcessGroup(int signalNumber) const;

    const pid_t processIdentifier_;
    const std::string ttyPath_;
    const std::string shellPath_;
    const std::string workingDirectory_;
    // Pins the shell; shared with the exit watch and, after the object goes, with the reaper.
    const std::shared_ptr<const platform::UniqueFd> pidfd_;

    mutable std::mutex lock_;
    // The master end's number, written under lock_ and read without it by masterFileHandle().
    std::atomic<int> masterNumber_;
    platform::UniqueFd masterDescriptor_;
    platform::UniqueFd slaveDescriptor_;
    bool isClosed_ = false;
    bool hasExited_ = false;
    std::unique_ptr<platform::ProcessExitSource> exitSource_;
    std::unique_ptr<platform::OneShotTimer> killTimer_;
    // When the hang-up was sent; the reaper keeps to the same deadline.
    std::optional<std::chrono::steady_clock::time_point> hangUpTime_;
};

}  // namespace velmora::core
