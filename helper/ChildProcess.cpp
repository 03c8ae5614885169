#include "helper/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SpawnObjects.h"

extern char** environ;

namespace velmora::helper {

namespace {

// Points standard input, output and error at the null device; the error number on failure.
int discardAll(platform::SpawnFileActions& actions) {
    if (actions.error() != 0) return actions.error();
    if (int error = ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0))
        return error;
    if (int error =
            ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0))
        return error;
    return ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
}

}  // namespace

tl::expected<int, platform::SystemError> runChild(const std::filesystem::path& executable,
                                                  const std::vector<std::string>& arguments,
                                                  ChildOutput output) {
    std::vector<std::string> strings{executable.string()};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& string : strings) argv.push_back(string.data());
    argv.push_back(nullptr);

    platform::SpawnFileActions actions;
    if (output == ChildOutput::discarded) {
        if (int error = discardAll(actions))
            return tl::unexpected(platform::SystemError{"posix_spawn", error});
    }
    pid_t pid = 0;
    if (int error = ::posix_spawn(&pid, strings.front().c_str(),
                                  output == ChildOutput::discarded ? actions.get() : nullptr, nullptr,
                                  argv.data(), environ))
        return tl::unexpected(platform::SystemError{"posix_spawn", error});
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return tl::unexpected(platform::SystemError::fromErrno("waitpid"));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace velmora::helper
