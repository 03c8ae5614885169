#include "core/PTYShellProcess.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "core/HelperLog.h"
#include "core/HelperUserAccount.h"
#include "kit/ShellLaunchEnvironment.h"
#include "platform/DescriptorLimit.h"
#include "platform/Environment.h"
#include "pty/SpawnLoginShell.h"

extern char** environ;

namespace velmora::core {

namespace env = kit::ShellLaunchEnvironment;
using platform::DispatchQueue;
using platform::OneShotTimer;
using platform::ProcessExitSource;
using platform::UniqueFd;

namespace {

#ifndef PIDFD_SIGNAL_PROCESS_GROUP
constexpr unsigned PIDFD_SIGNAL_PROCESS_GROUP = 1U << 2;
#endif

std::atomic<const PTYShellProcess::StartObserver*> startObserver{nullptr};

constexpr std::size_t kTemporaryDirectoryBufferSize = 1024;
constexpr std::string_view kWhiteSpace = " \t\n\r\v\f";

std::string errorText(int code) {
    return platform::SystemError{"", code}.reason();
}

std::string trimmed(std::string_view text) {
    auto first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(kWhiteSpace);
    return std::string(text.substr(first, last - first + 1));
}

unsigned short clampedSide(std::int64_t value) {
    return static_cast<unsigned short>(
        std::clamp(value, PTYShellProcess::kMinimumWindowSide, PTYShellProcess::kMaximumWindowSide));
}

winsize windowSize(std::int64_t columns, std::int64_t rows) {
    winsize size{};
    size.ws_row = clampedSide(rows);
    size.ws_col = clampedSide(columns);
    return size;
}

// Sends to the process group led by the process behind `pidfd`. The kernel resolves the group
// through the pidfd itself (Linux 6.9 and later), so the signal cannot reach a later process that
// was given the same number; older kernels fall back to kill(-pid), which is exact as long as the
// shell has not been reaped.
//
// A shell signalled right after spawn may not have made its own session and group yet (the group
// does not exist: ESRCH). The signal then goes to the shell process itself, where it stays pending
// until the child has reset its dispositions, so a hang-up sent that early is not lost.
bool signalProcessGroup(int pidfd, pid_t pid, int signalNumber) {
    if (pidfd >= 0) {
        if (::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, PIDFD_SIGNAL_PROCESS_GROUP) == 0)
            return true;
        if (errno == ESRCH) return ::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, 0) == 0;
        if (errno != EINVAL) return false;
    }
    if (::kill(-pid, signalNumber) == 0) return true;
    if (errno != ESRCH) return false;
    if (pidfd >= 0) return ::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, 0) == 0;
    return ::kill(pid, signalNumber) == 0;
}

std::optional<std::string> lookUpHome(const std::string& userName) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd storage{};
    passwd* entry = nullptr;
    if (::getpwnam_r(userName.c_str(), &storage, buffer.data(), buffer.size(), &entry) != 0 ||
        entry == nullptr || entry->pw_dir == nullptr)
        return std::nullopt;
    return std::string(entry->pw_dir);
}

// "~" and "~/x" lead to `home`, "~name/x" to that user's home; an unknown user is left unexpanded.
std::string expandTilde(const std::string& path, const std::string& home) {
    if (path.empty() || path[0] != '~') return path;
    auto slash = path.find('/');
    std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::optional<std::string> base = user.empty() ? std::optional<std::string>(home) : lookUpHome(user);
    if (!base) return path;
    std::string expanded = *base + rest;
    while (expanded.size() > 1 && expanded.back() == '/') expanded.pop_back();
    return expanded;
}

// The first locale variable that is set, as POSIX picks the character-type locale.
env::Locale currentLocale() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"})
        if (auto value = platform::environmentValue(name); value && !value->empty())
            return env::Locale::fromPosixName(*value);
    return {};
}

env::Variables ownEnvironment() {
    env::Variables variables;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        variables.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return variables;
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

// Everything the child reads, laid out before the fork. The vectors point into the texts, so the
// object is built in place and never copied or moved: a moved short string takes its characters
// with it and leaves the pointer dangling.
class ChildVectors {
  public:
    ChildVectors(std::string argumentZero, const env::Variables& environment)
        : argumentZero_(std::move(argumentZero)) {
        environmentTexts_.reserve(environment.size());
        for (const auto& [name, value] : environment) environmentTexts_.push_back(name + "=" + value);
        // Byte order of the whole NAME=VALUE texts: "A=1" sorts before "AB=2".
        std::sort(environmentTexts_.begin(), environmentTexts_.end());
        argumentVector_ = {argumentZero_.data(), nullptr};
        environmentVector_.reserve(environmentTexts_.size() + 1);
        for (auto& text : environmentTexts_) environmentVector_.push_back(text.data());
        environmentVector_.push_back(nullptr);
    }
    ChildVectors(const ChildVectors&) = delete;
    ChildVectors& operator=(const ChildVectors&) = delete;

    [[nodiscard]] char* const* argumentVector() const { return argumentVector_.data(); }
    [[nodiscard]] char* const* environmentVector() const { return environmentVector_.data(); }

  private:
    std::string argumentZero_;
    std::vector<std::string> environmentTexts_;
    std::vector<char*> argumentVector_;
    std::vector<char*> environmentVector_;
};

// Waits for a child that has been killed, so that no zombie is left behind.
void reapKilled(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED) != 0 && errno == EINTR) {
    }
}

// Looks after a shell whose object was released before its exit was reaped: sends the delayed kill
// that the hang-up promised and reaps the exit, then lets go of itself. Each reaper keeps itself
// alive through its own source and timer handlers; the reap breaks that cycle.
class DetachedReaper {
  public:
    explicit DetachedReaper(pid_t pid) : pid_(pid) {}

    // Takes over the shell's own exit watch when there still is one (a pidfd is watched by one
    // source at a time), else watches the pidfd anew.
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

// ---- resolution

tl::expected<std::string, PTYShellProcess::Failure> PTYShellProcess::resolveShellPath(
    const std::optional<std::string>& requested, const std::string& loginShell) {
    if (!requested) return loginShell;
    std::string path = trimmed(*requested);
    if (path.empty()) return loginShell;
    if (path[0] != '/') return tl::unexpected(Failure{"Shell path must be absolute: " + path});
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode))
        return tl::unexpected(Failure{"Shell not found: " + path});
    if (::access(path.c_str(), X_OK) != 0) return tl::unexpected(Failure{"Shell is not executable: " + path});
    return path;
}

std::string PTYShellProcess::resolveWorkingDirectory(const std::optional<std::string>& requested,
                                                     const std::string& home) {
    if (!requested) return home;
    std::string path = trimmed(*requested);
    if (path.empty()) return home;
    path = expandTilde(path, home);
    if (path[0] != '/') return home;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return home;
    return path;
}

// Linux has no per-user temporary directory of its own: the helper's TMPDIR serves when it names an
// existing directory that belongs to the user and fits the buffer the path is handed over in.
std::optional<std::string> PTYShellProcess::userTemporaryDirectory() {
    auto value = platform::environmentValue("TMPDIR");
    if (!value || value->empty() || (*value)[0] != '/' || value->size() + 1 > kTemporaryDirectoryBufferSize)
        return std::nullopt;
    struct stat status {};
    if (::stat(value->c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::getuid())
        return std::nullopt;
    return value;
}

// ---- spawn

tl::expected<std::shared_ptr<PTYShellProcess>, PTYShellProcess::Failure> PTYShellProcess::spawn(
    const kit::ShellLaunchRequest& request) {
    const HelperUserAccount account = HelperUserAccount::current();
    auto shellPath = resolveShellPath(request.shellPath, account.loginShell);
    if (!shellPath) return tl::unexpected(shellPath.error());
    std::string workingDirectory = resolveWorkingDirectory(request.workingDirectory, account.homeDirectory);

    auto terminal = pty::openPseudoTerminal(windowSize(request.columns, request.rows));
    if (!terminal) return tl::unexpected(Failure{"openpty failed: " + terminal.error().reason()});

    char ttyName[256];
    if (int error = ::ttyname_r(terminal->terminal.get(), ttyName, sizeof ttyName); error != 0)
        return tl::unexpected(Failure{"ttyname failed: " + errorText(error)});
    std::string ttyPath = ttyName;

    std::optional<ChildVectors> vectors;
    try {
        std::string argumentZero =
            request.loginShell ? env::loginArgumentZero(*shellPath) : env::executableName(*shellPath);
        auto environment =
            env::makeEnvironment(account.homeDirectory, account.userName, *shellPath,
                                 userTemporaryDirectory(), env::languageValue(currentLocale()),
                                 request.terminalProgramVersion, ownEnvironment(), request.environment);
        vectors.emplace(std::move(argumentZero), environment);
    } catch (const std::bad_alloc&) {
        return tl::unexpected(Failure{"Out of memory preparing " + *shellPath});
    }

    // The helper's own raised descriptor limit is not the shell's: it gets the one the helper found.
    const std::optional<rlimit> descriptorLimit = platform::descriptorLimitBeforeRaise();
    auto child = pty::spawn_login_shell(ttyPath.c_str(), workingDirectory.c_str(), shellPath->c_str(),
                                        vectors->argumentVector(), vectors->environmentVector(),
                                        descriptorLimit ? &*descriptorLimit : nullptr);
    if (!child)
        return tl::unexpected(Failure{"fork for " + *shellPath + " failed: " + child.error().reason()});
    const pid_t pid = child->pid;
    HelperLog::shell.info("Spawned " + *shellPath + " pid=" + std::to_string(pid) + " tty=" + ttyPath);
    auto process = std::shared_ptr<PTYShellProcess>(
        new PTYShellProcess(pid, std::make_shared<const UniqueFd>(std::move(child->pidfd)),
                            std::move(ttyPath), std::move(*shellPath), std::move(workingDirectory),
                            std::move(terminal->controlling), std::move(terminal->terminal)));
    if (const auto* observer = startObserver.load()) (*observer)(*process);
    return process;
}

void PTYShellProcess::setStartObserver(StartObserver observer) {
    // Never freed: a spawn on another thread may still be calling an earlier one.
    startObserver.store(new StartObserver(std::move(observer)));
}

PTYShellProcess::PTYShellProcess(pid_t pid, std::shared_ptr<const UniqueFd> pidfd, std::string ttyPath,
                                 std::string shellPath, std::string workingDirectory, UniqueFd master,
                                 UniqueFd terminal)
    : processIdentifier_(pid),
      ttyPath_(std::move(ttyPath)),
      shellPath_(std::move(shellPath)),
      workingDirectory_(std::move(workingDirectory)),
      pidfd_(std::move(pidfd)),
      masterDescriptor_(master.release()),
      slaveDescriptor_(terminal.release()) {}

PTYShellProcess::~PTYShellProcess() {
    // Nobody else can reach the object now; the lock is taken only to keep the rule simple.
    std::unique_ptr<ProcessExitSource> source;
    std::unique_ptr<OneShotTimer> timer;
    bool hangUpNow = false;
    bool exited = false;
    int master = -1;
    int slave = -1;
    std::optional<std::chrono::steady_clock::time_point> killAt;
    {
        std::lock_guard guard(lock_);
        source = std::move(exitSource_);
        timer = std::move(killTimer_);
        exited = hasExited_;
        if (!isClosed_) {
            isClosed_ = true;
            hangUpNow = !exited;
            master = masterDescriptor_.exchange(-1);
            slave = std::exchange(slaveDescriptor_, -1);
        }
        // A kill still pending keeps its deadline; one already sent is not repeated.
        if (timer && hangUpTime_) killAt = *hangUpTime_ + hangUpGracePeriod;
    }
    timer.reset();
    if (hangUpNow) {
        (void)signalProcessGroup(pidfd_->get(), processIdentifier_, SIGHUP);
        killAt = std::chrono::steady_clock::now() + hangUpGracePeriod;
    }
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
    if (!exited) DetachedReaper::adopt(processIdentifier_, pidfd_, std::move(source), killAt);
}

// ---- operations

tl::expected<UniqueFd, platform::SystemError> PTYShellProcess::duplicateMasterFileHandle() const {
    std::lock_guard guard(lock_);
    int master = masterDescriptor_.load();
    if (isClosed_ || master < 0) return tl::unexpected(platform::SystemError{"dup", EBADF});
    UniqueFd copy(::fcntl(master, F_DUPFD_CLOEXEC, 0));
    if (!copy.valid()) return tl::unexpected(platform::SystemError::fromErrno("dup"));
    return copy;
}

bool PTYShellProcess::resize(std::int64_t columns, std::int64_t rows) {
    winsize size = windowSize(columns, rows);
    std::lock_guard guard(lock_);
    if (isClosed_) return false;
    return ::ioctl(masterDescriptor_.load(), TIOCSWINSZ, &size) == 0;
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

void PTYShellProcess::close(bool hangUpShell) {
    int master = -1;
    int slave = -1;
    bool exited = false;
    {
        std::lock_guard guard(lock_);
        if (isClosed_) return;
        isClosed_ = true;
        master = masterDescriptor_.exchange(-1);
        slave = std::exchange(slaveDescriptor_, -1);
        exited = hasExited_;
    }
    if (hangUpShell && !exited) hangUp();
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
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
    ExitResult exit = decodeExit(info);
    logExit(processIdentifier_, exit);
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
    if (!source) return tl::unexpected(Failure{source.error().call + " failed: " + source.error().reason()});
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
            reapKilled(processIdentifier_);
            hasExited_ = true;
        }
    }
    source.reset();
    close(false);
}

bool PTYShellProcess::hasPendingKillForTesting() const {
    std::lock_guard guard(lock_);
    return killTimer_ != nullptr;
}

}  // namespace velmora::core
