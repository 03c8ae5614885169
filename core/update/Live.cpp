// The version preflight, the restart and the live record of the update steps.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/HelperLog.h"
#include "core/update/HelperUpdaterIO.h"
#include "kit/JsonCodec.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/Dispatch.h"
#include "platform/SpawnObjects.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

extern char** environ;

namespace velmora::core::HelperUpdaterIO {

namespace fs = std::filesystem;
using StepError = HelperUpdater::StepError;

namespace {

constexpr std::chrono::milliseconds kRestartGracePeriod{1500};

std::string spawnFailure(int error) {
    return platform::SystemError{"posix_spawn", error}.reason();
}

}  // namespace

tl::expected<std::string, std::string> reportedVersion(const fs::path& bundle) {
    std::string executable = kit::VelmoraHelperIdentity::executableURL(bundle).string();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return tl::unexpected(platform::SystemError::fromErrno("pipe2").reason());
    platform::UniqueFd reading(ends[0]), writing(ends[1]);
    platform::SpawnFileActions actions;
    if (actions.error() != 0) return tl::unexpected(spawnFailure(actions.error()));
    // dup2 onto descriptor 1 clears close-on-exec there; the pipe's own descriptors close at exec.
    if (int error = ::posix_spawn_file_actions_adddup2(actions.get(), writing.get(), STDOUT_FILENO))
        return tl::unexpected(spawnFailure(error));
    if (int error =
            ::posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0))
        return tl::unexpected(spawnFailure(error));
    std::string argumentZero = executable, flag = "--version";
    char* argv[] = {argumentZero.data(), flag.data(), nullptr};
    pid_t pid = 0;
    if (int error = ::posix_spawn(&pid, executable.c_str(), actions.get(), nullptr, argv, environ))
        return tl::unexpected(spawnFailure(error));
    writing.reset();

    std::string output;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(reading.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return kit::jsoncodec::escapeInvalidUTF8(output) == output ? output : std::string();
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "exit " + std::to_string(WEXITSTATUS(status));
}

void scheduleRestart() {
    HelperLog::installer.info("Updated; exiting so launchd starts the new binary");
    static std::mutex lock;
    static std::unique_ptr<platform::OneShotTimer> timer;
    std::lock_guard guard(lock);
    if (timer) return;
    timer = platform::OneShotTimer::schedule(platform::DispatchQueue::utility(), kRestartGracePeriod, [] {
        std::fflush(nullptr);
        // Worker threads are still running: leave without running static destructors under them.
        std::_Exit(0);
    });
}

HelperUpdater::Dependencies liveDependencies(HelperUpdater::Dependencies::OpenShellCount openShellCount) {
    return HelperUpdater::Dependencies(
        download,
        [](const fs::path& archive, const fs::path& destination) -> tl::expected<void, StepError> {
            if (auto expanded = expand(archive, destination); !expanded)
                return tl::unexpected(StepError::update(std::move(expanded.error())));
            return {};
        },
        [](const fs::path& bundle) -> tl::expected<void, StepError> {
            if (auto verified = verifySignature(bundle); !verified)
                return tl::unexpected(StepError::update(std::move(verified.error())));
            return {};
        },
        [](const fs::path& bundle) -> tl::expected<std::string, StepError> {
            auto reported = reportedVersion(bundle);
            if (!reported) return tl::unexpected(StepError::other(std::move(reported.error())));
            return *reported;
        },
        std::move(openShellCount), scheduleRestart);
}

}  // namespace velmora::core::HelperUpdaterIO
