// What a child gets is checked through the shell processes that use this; here, its failures.

#include "pty/SpawnLoginShell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/UniqueFd.h"

namespace velmora::pty {
namespace {

TEST(SpawnLoginShell, EverySetUpFailureEndsTheChildWith127) {
    std::string name = "probe";
    char* argv[] = {name.data(), nullptr};
    char* envp[] = {nullptr};
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    platform::UniqueFd pipeRead(ends[0]), pipeWrite(ends[1]);
    auto terminal = openPseudoTerminal(winsize{24, 80, 0, 0});
    ASSERT_TRUE(terminal);
    const std::tuple<int, const char*, const char*> cases[] = {
        {terminal->terminal.get(), "/nonexistent/directory", VELMORA_SHELL_PROBE},
        {terminal->terminal.get(), nullptr, "/nonexistent/shell"},
        {pipeRead.get(), nullptr, VELMORA_SHELL_PROBE},  // not a terminal: cannot become the controlling one
    };
    for (const auto& [fd, directory, shell] : cases) {
        int status = 0;
        auto child = spawn_login_shell(fd, directory, shell, argv, envp);
        ASSERT_TRUE(child && child->pidfd.valid());
        ASSERT_EQ(::waitpid(child->pid, &status, 0), child->pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kChildSetUpFailureStatus) << shell << status;
    }
}

}  // namespace
}  // namespace velmora::pty
