// What a child gets is checked through the shell processes that use this; here, its failures.

#include "pty/SpawnLoginShell.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::pty {
namespace {

TEST(SpawnLoginShell, EverySetUpFailureEndsTheChildWith127) {
    std::string name = "probe";
    char* argv[] = {name.data(), nullptr};
    char* envp[] = {nullptr};
    auto terminal = openPseudoTerminal(winsize{24, 80, 0, 0});
    ASSERT_TRUE(terminal);
    char path[64];
    ASSERT_EQ(::ttyname_r(terminal->slave.get(), path, sizeof path), 0);
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {path, "/nonexistent/directory", VELMORA_SHELL_PROBE},
        {path, nullptr, "/nonexistent/shell"},
        {"/dev/null", nullptr, VELMORA_SHELL_PROBE},  // not a terminal: cannot become the controlling one
        {"/nonexistent/terminal", nullptr, VELMORA_SHELL_PROBE},
    };
    for (const auto& [terminalPath, directory, shell] : cases) {
        int status = 0;
        auto child = spawn_login_shell(terminalPath, directory, shell, argv, envp);
        ASSERT_TRUE(child && child->pidfd.valid());
        ASSERT_EQ(::waitpid(child->pid, &status, 0), child->pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kChildSetUpFailureStatus) << shell << status;
    }
}

}  // namespace
}  // namespace velmora::pty
