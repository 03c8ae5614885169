#include "core/PTYShellReaping.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>

#include "core/HelperLog.h"

namespace velmora::core::reaping {

using platform::DispatchQueue;
using platform::OneShotTimer;
using platform::ProcessExitSource;
using platform::UniqueFd;

namespace {

#ifndef PIDFD_SIGNAL_PROCESS_GROUP
constexpr unsigned PIDFD_SIGNAL_PROCESS_GROUP = 1U << 2;
#endif

// Looks after a shell whose object was released before its exit was reaped: sends the delayed kill
// that the hang-up promised and reaps the exit, then lets go of itself. Each reaper keeps itself
// alive through its own source and timer handlers; the reap breaks that cycle.
class DetachedReaper {
  public:
    explicit DetachedReaper(pid_t pid) : pid_(pid) {}

    static void adopt(pid_t pid, const std::shared_ptr<const UniqueFd>& pidfd,
                      std::unique_ptr<ProcessExitSource> existing,
                      std::optional<std::chrono::steady_clock::time_point> killAt) {
        auto reaper = std::make_shared<DetachedReaper>(pid);
        // Held while arming, so that an exit reported at once waits until both are stored.
        std::lock_guard guard(reaper->mutex_);
        auto onExit = [reaper] { reaper->reap(); };
        if (existing && existing->retarget(DispatchQueue::utility(), onExit)) {
            reaper->source_ = std::move(existing);
        } else {
            existing.reset();
            auto source = ProcessExitSource::watch(pidfd, DispatchQueue::utility(), onExit);
            if (!source) {
                HelperLog::shell.error("Cannot watch released shell pid=" + std::to_string(pid) + ": " +
                                       source.error().description());
                return;
            }
            reaper->source_ = std::move(*source);
        }
        if (killAt) {
            auto delay = std::max(*killAt - std::chrono::steady_clock::now(),
                                  std::chrono::steady_clock::duration::zero());
            reaper->killTimer_ =
                OneShotTimer::schedule(DispatchQueue::utility(), delay, [reaper] { reaper->kill(); });
        }
    }

  private:
    // Signals by pid: the reaper alone reaps this child now, under the same mutex, so the number still
    // names the shell.
    void kill() {
        std::lock_guard guard(mutex_);
        if (!reaped_) (void)::kill(-pid_, SIGKILL);
    }

    void reap() {
        std::unique_ptr<ProcessExitSource> source;
        std::unique_ptr<OneShotTimer> timer;
        std::lock_guard guard(mutex_);
        siginfo_t info{};
        // The pidfd has reported the exit, so this returns at once.
        while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED) != 0 && errno == EINTR) {
        }
        if (info.si_pid == pid_) logExit(pid_, decodeExit(info));
        reaped_ = true;
        source = std::move(source_);
        timer = std::move(killTimer_);
        if (timer) timer->cancel();
    }

    const pid_t pid_;
    std::mutex mutex_;
    bool reaped_ = false;
    std::unique_ptr<ProcessExitSource> source_;
    std::unique_ptr<OneShotTimer> killTimer_;
};

}  // namespace

// Sends to the process group led by the process behind `pidfd`. The kernel resolves the group
// through the pidfd itself (Linux 6.9 and later), so the signal cannot reach a later process that
// was given the same number; older kernels fall back to kill(-pid), which is exact as long as the
// shell has not been reaped. The group exists from the start: spawning returns only once the child
// has made its session and run the shell.
bool signalProcessGroup(int pidfd, pid_t pid, int signalNumber) {
    if (pidfd >= 0) {
        if (::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, PIDFD_SIGNAL_PROCESS_GROUP) == 0)
            return true;
        if (errno != EINVAL) return false;
    }
    return ::kill(-pid, signalNumber) == 0;
}

PTYShellProcess::ExitResult decodeExit(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) return {info.si_status, 0};
    return {-1, info.si_status};
}

void logExit(pid_t pid, const PTYShellProcess::ExitResult& result) {
    HelperLog::shell.info("Shell pid=" + std::to_string(pid) +
                          " exited status=" + std::to_string(result.exitStatus) +
                          " signal=" + std::to_string(result.terminationSignal));
}

void reapKilled(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED) != 0 && errno == EINTR) {
    }
}

void adoptReleasedShell(pid_t pid, const std::shared_ptr<const UniqueFd>& pidfd,
                        std::unique_ptr<ProcessExitSource> existing,
                        std::optional<std::chrono::steady_clock::time_point> killAt) {
    DetachedReaper::adopt(pid, pidfd, std::move(existing), killAt);
}

}  // namespace velmora::core::reaping
