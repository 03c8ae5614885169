#include "core/PTYShellProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>

#include "core/PTYShellReaping.h"

namespace velmora::core {

using platform::DispatchQueue;
using platform::OneShotTimer;
using platform::ProcessExitSource;
using platform::UniqueFd;
using reaping::signalProcessGroup;

namespace {

unsigned short clampedSide(std::int64_t value) {
    return static_cast<unsigned short>(
        std::clamp(value, PTYShellProcess::kMinimumWindowSide, PTYShellProcess::kMaximumWindowSide));
}

}  // namespace

winsize PTYShellProcess::windowSize(std::int64_t columns, std::int64_t rows) {
    winsize size{};
    size.ws_row = clampedSide(rows);
    size.ws_col = clampedSide(columns);
    return size;
}

PTYShellProcess::PTYShellProcess(pid_t pid, std::shared_ptr<const UniqueFd> pidfd, std::string ttyPath,
                                 std::string shellPath, std::string workingDirectory, UniqueFd master,
                                 UniqueFd slave)
    : processIdentifier_(pid),
      ttyPath_(std::move(ttyPath)),
      shellPath_(std::move(shellPath)),
      workingDirectory_(std::move(workingDirectory)),
      pidfd_(std::move(pidfd)),
      masterNumber_(master.get()),
      masterDescriptor_(std::move(master)),
      slaveDescriptor_(std::move(slave)) {}

PTYShellProcess::~PTYShellProcess() {
    // Nobody else can reach the object now; the lock is taken only to keep the rule simple.
    std::unique_ptr<ProcessExitSource> source;
    std::unique_ptr<OneShotTimer> timer;
    bool hangUpNow = false;
    bool exited = false;
    UniqueFd master;
    UniqueFd slave;
    std::optional<std::chrono::steady_clock::time_point> killAt;
    {
        std::lock_guard guard(lock_);
        source = std::move(exitSource_);
        timer = std::move(killTimer_);
        exited = hasExited_;
        if (!isClosed_) {
            isClosed_ = true;
            hangUpNow = !exited;
            masterNumber_.store(-1);
            master = std::move(masterDescriptor_);
            slave = std::move(slaveDescriptor_);
        }
        // A kill still pending keeps its deadline; one already sent is not repeated.
        if (timer && hangUpTime_) killAt = *hangUpTime_ + hangUpGracePeriod;
    }
    timer.reset();
    if (hangUpNow) {
        (void)signalProcessGroup(pidfd_->get(), processIdentifier_, SIGHUP);
        killAt = std::chrono::steady_clock::now() + hangUpGracePeriod;
    }
    slave.reset();
    master.reset();
    if (!exited) reaping::adoptReleasedShell(processIdentifier_, pidfd_, std::move(source), killAt);
}

tl::expected<UniqueFd, platform::SystemError> PTYShellProcess::duplicateMasterFileHandle() const {
    std::lock_guard guard(lock_);
    if (isClosed_ || !masterDescriptor_.valid()) return tl::unexpected(platform::SystemError{"dup", EBADF});
    UniqueFd copy(::fcntl(masterDescriptor_.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy.valid()) return tl::unexpected(platform::SystemError::fromErrno("dup"));
    return copy;
}

bool PTYShellProcess::resize(std::int64_t columns, std::int64_t rows) {
    winsize size = windowSize(columns, rows);
    std::lock_guard guard(lock_);
    if (isClosed_) return false;
    return ::ioctl(masterDescriptor_.get(), TIOCSWINSZ, &size) == 0;
}

bool PTYShellProcess::sendToProcessGroup(int signalNumber) const {
    return signalProcessGroup(pidfd_->get(), processIdentifier_, signalNumber);
}

bool PTYShellProcess::signal(int signalNumber) {
    {
        std::lock_guard guard(lock_);
        if (hasExited_) return false;
    }
    return sendToProcessGroup(signalNumber);
}

void PTYShellProcess::close(HangUp hangUpShell) {
    UniqueFd master;
    UniqueFd slave;
    bool exited = false;
    {
        std::lock_guard guard(lock_);
        if (isClosed_) return;
        isClosed_ = true;
        masterNumber_.store(-1);
        master = std::move(masterDescriptor_);
        slave = std::move(slaveDescriptor_);
        exited = hasExited_;
    }
    if (hangUpShell == HangUp::yes && !exited) hangUp();
    slave.reset();
    master.reset();
}

void PTYShellProcess::hangUp() {
    {
        std::lock_guard guard(lock_);
        hangUpTime_ = std::chrono::steady_clock::now();
    }
    (void)sendToProcessGroup(SIGHUP);
    scheduleKillIfStillRunning();
}

void PTYShellProcess::scheduleKillIfStillRunning() {
    std::weak_ptr<PTYShellProcess> weakSelf = weak_from_this();
    auto timer = OneShotTimer::schedule(DispatchQueue::utility(), hangUpGracePeriod, [weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        bool exited = false;
        std::unique_ptr<OneShotTimer> finished;
        {
            std::lock_guard guard(self->lock_);
            exited = self->hasExited_;
            finished = std::move(self->killTimer_);
        }
        if (!exited) (void)self->sendToProcessGroup(SIGKILL);
    });
    // Released after the lock (declared before the guard): dropping a timer cancels it.
    std::unique_ptr<OneShotTimer> replaced;
    std::lock_guard guard(lock_);
    // The shell may have exited and been reaped since the hang-up: then there is nothing to kill.
    if (hasExited_)
        replaced = std::move(timer);
    else
        replaced = std::exchange(killTimer_, std::move(timer));
}

std::optional<PTYShellProcess::ExitResult> PTYShellProcess::reapIfExited() {
    std::unique_ptr<OneShotTimer> cancelled;
    std::lock_guard guard(lock_);
    if (hasExited_) return std::nullopt;
    siginfo_t info{};
    int result =
        ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_->get()), &info, WEXITED | WNOHANG);
    if (result != 0 || info.si_pid != processIdentifier_) return std::nullopt;
    hasExited_ = true;
    if (killTimer_) {
        killTimer_->cancel();
        cancelled = std::move(killTimer_);
    }
    ExitResult exit = reaping::decodeExit(info);
    reaping::logExit(processIdentifier_, exit);
    return exit;
}

tl::expected<void, PTYShellProcess::Failure> PTYShellProcess::monitorExit(
    std::shared_ptr<DispatchQueue> queue, std::function<void(ExitResult)> handler) {
    // A shell that has already exited is reported here and now, on the caller's thread; arming a
    // source first would let it race the caller to the report.
    if (auto result = reapIfExited()) {
        handler(*result);
        return {};
    }
    std::weak_ptr<PTYShellProcess> weakSelf = weak_from_this();
    auto onExit = [weakSelf, handler] {
        auto self = weakSelf.lock();
        if (!self) return;
        if (auto result = self->reapIfExited()) {
            std::unique_ptr<ProcessExitSource> finished;
            {
                std::lock_guard guard(self->lock_);
                finished = std::move(self->exitSource_);
            }
            handler(*result);
        }
    };
    {
        // A second call keeps the one registration of the pidfd and only changes where it reports.
        std::lock_guard guard(lock_);
        if (exitSource_ && exitSource_->retarget(queue, onExit)) return {};
    }
    auto source = ProcessExitSource::watch(pidfd_, queue, onExit);
    if (!source)
        return tl::unexpected(Failure::fromSystemError(source.error().call + " failed: ", source.error()));
    std::unique_ptr<ProcessExitSource> replaced;
    {
        std::lock_guard guard(lock_);
        replaced = std::exchange(exitSource_, std::move(*source));
    }
    replaced.reset();

    if (auto result = reapIfExited()) {
        std::unique_ptr<ProcessExitSource> finished;
        {
            std::lock_guard guard(lock_);
            finished = std::move(exitSource_);
        }
        finished.reset();
        handler(*result);
    }
    return {};
}

void PTYShellProcess::abandon() {
    (void)sendToProcessGroup(SIGKILL);
    std::unique_ptr<ProcessExitSource> source;
    {
        std::lock_guard guard(lock_);
        source = std::move(exitSource_);
        if (!hasExited_) {
            // Killed: the wait is short. Marked exited without a report, so no handler runs.
            reaping::reapKilled(processIdentifier_);
            hasExited_ = true;
        }
    }
    source.reset();
    close(HangUp::no);
}

bool PTYShellProcess::hasPendingKillForTesting() const {
    std::lock_guard guard(lock_);
    return killTimer_ != nullptr;
}

}  // namespace velmora::core
