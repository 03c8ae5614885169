#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Descriptors.h"

extern char** environ;

namespace velmora::platform {

namespace {

// A posix_spawn file-actions or attributes object for the length of one start, destroyed on every
// path out. error() is the initialiser's error number; get() is usable only when it is 0.
template <typename Object, int (*Initialise)(Object*), int (*Destroy)(Object*)>
class SpawnObject {
  public:
    SpawnObject() : error_(Initialise(&object_)) {}
    ~SpawnObject() {
        if (error_ == 0) Destroy(&object_);
    }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;

    [[nodiscard]] int error() const { return error_; }
    Object* get() { return &object_; }

  private:
    Object object_{};
    int error_;
};

using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                     ::posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// Pointers into `texts`, ending in a null pointer, as exec wants them.
std::vector<char*> nullTerminated(std::vector<std::string>& texts) {
    std::vector<char*> vector;
    vector.reserve(texts.size() + 1);
    for (auto& text : texts) vector.push_back(text.data());
    vector.push_back(nullptr);
    return vector;
}

// The error number on failure. `writing` is the pipe's writing end when the stream is captured.
int addStream(SpawnFileActions& actions, const StandardStream& stream, int target, int writing) {
    switch (stream.kind) {
        case StandardStream::Kind::inherited:
            return 0;
        case StandardStream::Kind::nullDevice:
            return ::posix_spawn_file_actions_addopen(actions.get(), target, "/dev/null",
                                                      target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
        case StandardStream::Kind::descriptor:
            // dup2 onto the target clears close-on-exec there; the source closes at exec if it has it.
            return ::posix_spawn_file_actions_adddup2(actions.get(), stream.fd, target);
        case StandardStream::Kind::captured:
            return target == STDOUT_FILENO
                       ? ::posix_spawn_file_actions_adddup2(actions.get(), writing, target)
                       : EINVAL;
    }
    return EINVAL;
}

int prepare(const ProcessPlan& plan, SpawnFileActions& actions, SpawnAttributes& attributes, int writing) {
    if (actions.error() != 0) return actions.error();
    if (attributes.error() != 0) return attributes.error();
    if (int error = addStream(actions, plan.standardInput, STDIN_FILENO, writing)) return error;
    if (int error = addStream(actions, plan.standardOutput, STDOUT_FILENO, writing)) return error;
    if (int error = addStream(actions, plan.standardError, STDERR_FILENO, writing)) return error;
    if (plan.workingDirectory) {
        if (int error = ::posix_spawn_file_actions_addchdir_np(actions.get(), plan.workingDirectory->c_str()))
            return error;
    }
    short flags = plan.newSession ? POSIX_SPAWN_SETSID : 0;
    if (plan.defaultSignals) {
        sigset_t defaults, none;
        ::sigemptyset(&defaults);
        ::sigaddset(&defaults, SIGPIPE);
        ::sigemptyset(&none);
        if (int error = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults)) return error;
        if (int error = ::posix_spawnattr_setsigmask(attributes.get(), &none)) return error;
        flags |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    }
    return flags != 0 ? ::posix_spawnattr_setflags(attributes.get(), flags) : 0;
}

ExitStatus decode(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) return {ExitStatus::Kind::exited, info.si_status};
    return {ExitStatus::Kind::signalled, info.si_status};
}

tl::expected<std::optional<ExitStatus>, SystemError> reap(pid_t pid, int options) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | options) != 0) {
        if (errno != EINTR) return tl::unexpected(SystemError::fromErrno("waitid"));
    }
    // With WNOHANG and the child still running, nothing is filled in.
    if (info.si_pid == 0) return std::nullopt;
    return decode(info);
}

}  // namespace

std::string ExitStatus::description() const {
    return (kind == Kind::exited ? "exit " : "signal ") + std::to_string(number);
}

tl::expected<SpawnedProcess, SystemError> spawnProcess(const ProcessPlan& plan) {
    if (plan.arguments.empty()) return tl::unexpected(SystemError{"posix_spawn", EINVAL});
    SpawnedProcess spawned;
    UniqueFd writing;
    if (plan.standardOutput.kind == StandardStream::Kind::captured) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return tl::unexpected(SystemError::fromErrno("pipe2"));
        spawned.output.reset(ends[0]);
        writing.reset(ends[1]);
    }
    SpawnFileActions actions;
    SpawnAttributes attributes;
    if (int error = prepare(plan, actions, attributes, writing.get()))
        return tl::unexpected(SystemError{"posix_spawn", error});

    auto arguments = plan.arguments;
    auto argv = nullTerminated(arguments);
    auto environmentTexts = plan.environment.value_or(std::vector<std::string>{});
    auto envp = nullTerminated(environmentTexts);
    char* const* environment = plan.environment ? envp.data() : environ;
    auto start = plan.searchPath ? ::posix_spawnp : ::posix_spawn;
    if (int error =
            start(&spawned.pid, argv.front(), actions.get(), attributes.get(), argv.data(), environment))
        return tl::unexpected(SystemError{"posix_spawn", error});
    // The child is not reaped before its owner waits, so the pid still names it here.
    if (auto pidfd = openPidfd(spawned.pid)) spawned.pidfd = std::move(*pidfd);
    return spawned;
}

tl::expected<ExitStatus, SystemError> waitForExit(pid_t pid) {
    return reap(pid, 0).map([](const std::optional<ExitStatus>& status) { return *status; });
}

tl::expected<std::optional<ExitStatus>, SystemError> exitIfEnded(pid_t pid) {
    return reap(pid, WNOHANG);
}

tl::expected<std::string, SystemError> readToEnd(int fd, std::size_t limit) {
    std::string kept;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return tl::unexpected(SystemError::fromErrno("read"));
        if (n == 0) return kept;
        kept.append(buffer, std::min(static_cast<std::size_t>(n), limit - kept.size()));
    }
}

tl::expected<FinishedProcess, SystemError> runProcess(const ProcessPlan& plan, std::size_t outputLimit) {
    auto spawned = spawnProcess(plan);
    if (!spawned) return tl::unexpected(spawned.error());
    tl::expected<std::string, SystemError> output;
    if (spawned->output.valid()) output = readToEnd(spawned->output.get(), outputLimit);
    // Closed before the wait, so that a child still writing after a failed read is not held up by it;
    // it is reaped either way.
    spawned->output.reset();
    auto status = waitForExit(spawned->pid);
    if (!output) return tl::unexpected(output.error());
    if (!status) return tl::unexpected(status.error());
    return FinishedProcess{*status, std::move(*output)};
}

}  // namespace velmora::platform
