#include "pty/SpawnLoginShell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "tests/pty/TerminalTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::pty {
namespace {

int exitStatus(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

PseudoTerminal openTerminal() {
    auto terminal = openPseudoTerminal(winsize{40, 132, 0, 0});
    EXPECT_TRUE(terminal) << terminal.error().description();
    return std::move(*terminal);
}

TEST(SpawnLoginShell, ChildStartsCleanWithExactlyItsVectorsAndTerminal) {
    // Leave the parent in a state a child must not inherit: blocked and ignored signals, and a
    // descriptor that is not close-on-exec.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    struct sigaction ignore {
    }, oldUsr2{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGUSR2, &ignore, &oldUsr2), 0);
    int leaked[2];
    ASSERT_EQ(::pipe(leaked), 0);

    testing::TemporaryDirectory directory;
    std::string argument = "-probe", b = "B=2", a = "A=1";
    char* argv[] = {argument.data(), nullptr};
    char* envp[] = {b.data(), a.data(), nullptr};
    auto terminal = openTerminal();
    pid_t pid =
        spawn_login_shell(terminal.terminal.get(), directory.path().c_str(), VELMORA_SHELL_PROBE, argv, envp);
    std::string output = testing::readTerminalUntil(terminal.controlling.get(), "END\n");
    EXPECT_EQ(exitStatus(pid), 0) << output;

    sigset_t after;  // the parent's own mask is back as it was
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &previous, &after), 0);
    EXPECT_EQ(sigismember(&after, SIGTERM), 1);
    EXPECT_EQ(sigismember(&after, SIGUSR1), 0);
    ::close(leaked[0]);
    ::close(leaked[1]);
    ::sigaction(SIGUSR2, &oldUsr2, nullptr);

    auto report = testing::parseProbeReport(output);
    EXPECT_EQ(report["fds"], "0,1,2");
    EXPECT_EQ(report["blocked"], "");
    EXPECT_EQ(report["ignored"], "");
    EXPECT_EQ(report["argv0"], "-probe");
    EXPECT_EQ(report.environment, (std::vector<std::string>{"B=2", "A=1"}));
    EXPECT_EQ(report["cwd"], directory.path().string());
    EXPECT_EQ(report["session_leader"], "1");
    EXPECT_EQ(report["foreground"], "1");
    EXPECT_EQ(report["size"], "40x132");
}

TEST(SpawnLoginShell, EverySetUpFailureEndsTheChildWith127) {
    std::string name = "probe";
    char* argv[] = {name.data(), nullptr};
    char* envp[] = {nullptr};
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    platform::UniqueFd pipeRead(ends[0]), pipeWrite(ends[1]);
    auto terminal = openTerminal();
    const std::tuple<int, const char*, const char*> cases[] = {
        {terminal.terminal.get(), "/nonexistent/directory", VELMORA_SHELL_PROBE},
        {terminal.terminal.get(), nullptr, "/nonexistent/shell"},
        {pipeRead.get(), nullptr, VELMORA_SHELL_PROBE},  // not a terminal: cannot become the controlling one
    };
    for (const auto& [fd, directory, shell] : cases)
        EXPECT_EQ(exitStatus(spawn_login_shell(fd, directory, shell, argv, envp)), kChildSetUpFailureStatus)
            << shell;
}

}  // namespace
}  // namespace velmora::pty
