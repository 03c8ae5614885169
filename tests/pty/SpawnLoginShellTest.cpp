#include "pty/SpawnLoginShell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <string>
#include <vector>

#include "tests/pty/TerminalTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::pty {
namespace {

using testing::parseProbeReport;
using testing::readTerminalUntil;

// Owns the vectors a spawn needs, as the parent has to lay them out before the fork.
struct ChildArguments {
    std::vector<std::string> texts;
    std::vector<std::string> environment;
    std::vector<char*> argv;
    std::vector<char*> envp;

    ChildArguments(std::vector<std::string> arguments, std::vector<std::string> variables)
        : texts(std::move(arguments)), environment(std::move(variables)) {
        for (auto& text : texts) argv.push_back(text.data());
        argv.push_back(nullptr);
        for (auto& text : environment) envp.push_back(text.data());
        envp.push_back(nullptr);
    }
};

int waitForExitStatus(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

PseudoTerminal openTerminal(unsigned short rows = 24, unsigned short columns = 80) {
    winsize size{};
    size.ws_row = rows;
    size.ws_col = columns;
    auto terminal = openPseudoTerminal(size);
    EXPECT_TRUE(terminal.has_value()) << (terminal ? "" : terminal.error().description());
    return std::move(*terminal);
}

TEST(PseudoTerminalTest, BothSidesAreCloseOnExecPeersWithTheWindowSize) {
    auto terminal = openTerminal(33, 120);
    EXPECT_TRUE(::fcntl(terminal.controlling.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(terminal.terminal.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::isatty(terminal.terminal.get()));

    winsize seen{};
    ASSERT_EQ(::ioctl(terminal.terminal.get(), TIOCGWINSZ, &seen), 0);
    EXPECT_EQ(seen.ws_row, 33);
    EXPECT_EQ(seen.ws_col, 120);

    // Raw so that the bytes cross unchanged; what one side writes, the other reads.
    termios mode{};
    ASSERT_EQ(::tcgetattr(terminal.terminal.get(), &mode), 0);
    ::cfmakeraw(&mode);
    ASSERT_EQ(::tcsetattr(terminal.terminal.get(), TCSANOW, &mode), 0);
    ASSERT_EQ(::write(terminal.controlling.get(), "ping", 4), 4);
    char buffer[8] = {};
    ASSERT_EQ(::read(terminal.terminal.get(), buffer, 4), 4);
    EXPECT_STREQ(buffer, "ping");
}

class SpawnLoginShellTest : public ::testing::Test {
  protected:
    testing::ProbeReport runProbe(const ChildArguments& arguments, const char* directory) {
        auto terminal = openTerminal(40, 132);
        pid_t pid = spawn_login_shell(terminal.terminal.get(), directory, VELMORA_SHELL_PROBE,
                                      arguments.argv.data(), arguments.envp.data());
        EXPECT_GT(pid, 0);
        std::string output = readTerminalUntil(terminal.controlling.get(), "END\n");
        EXPECT_EQ(waitForExitStatus(pid), 0) << output;
        auto report = parseProbeReport(output);
        EXPECT_TRUE(report.complete) << output;
        return report;
    }
};

TEST_F(SpawnLoginShellTest, ChildSeesExactlyTheVectorsDirectoryAndTerminal) {
    testing::TemporaryDirectory directory;
    ChildArguments arguments({"-probe"}, {"B=2", "A=1", "EMPTY="});
    auto report = runProbe(arguments, directory.path().c_str());
    EXPECT_EQ(report["argv0"], "-probe");
    EXPECT_EQ(report["argc"], "1");
    EXPECT_EQ(report["cwd"], directory.path().string());
    // The vector is handed over as it is, order included.
    EXPECT_EQ(report.environment, (std::vector<std::string>{"B=2", "A=1", "EMPTY="}));
    EXPECT_EQ(report["session_leader"], "1");
    EXPECT_EQ(report["foreground"], "1");
    EXPECT_EQ(report["size"], "40x132");
}

TEST_F(SpawnLoginShellTest, ChildStartsWithCleanSignalStateAndOnlyItsTerminalOpen) {
    // Leave the parent in a state a child must not inherit: blocked and ignored signals, and a
    // descriptor that is not close-on-exec.
    sigset_t blocked, previous, during;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    struct sigaction ignore {};
    struct sigaction oldUsr2 {};
    struct sigaction oldInt {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGUSR2, &ignore, &oldUsr2), 0);
    ASSERT_EQ(::sigaction(SIGINT, &ignore, &oldInt), 0);
    int leaked[2];
    ASSERT_EQ(::pipe(leaked), 0);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &during), 0);

    ChildArguments arguments({"probe"}, {});
    auto report = runProbe(arguments, nullptr);

    // The parent's own mask is back as it was before the fork.
    sigset_t after;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &after), 0);
    for (int number = 1; number < NSIG; ++number)
        EXPECT_EQ(sigismember(&during, number), sigismember(&after, number)) << "signal " << number;
    ::close(leaked[0]);
    ::close(leaked[1]);
    ::sigaction(SIGUSR2, &oldUsr2, nullptr);
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    EXPECT_EQ(report["fds"], "0,1,2");
    EXPECT_EQ(report["blocked"], "");
    EXPECT_EQ(report["ignored"], "");
    // A missing directory means "stay where the parent is".
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(report["cwd"], cwd);
}

TEST_F(SpawnLoginShellTest, EverySetUpFailureEndsTheChildWith127) {
    ChildArguments arguments({"probe"}, {});
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    platform::UniqueFd pipeRead(pipeEnds[0]), pipeWrite(pipeEnds[1]);
    auto terminal = openTerminal();
    struct Case {
        int terminal;
        const char* directory;
        const char* shell;
    };
    const Case cases[] = {
        {terminal.terminal.get(), "/nonexistent/directory", VELMORA_SHELL_PROBE},
        {terminal.terminal.get(), nullptr, "/nonexistent/shell"},
        // Not a terminal: it cannot become the controlling terminal.
        {pipeRead.get(), nullptr, VELMORA_SHELL_PROBE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.directory ? c.directory : "") + " " + c.shell);
        pid_t pid =
            spawn_login_shell(c.terminal, c.directory, c.shell, arguments.argv.data(), arguments.envp.data());
        ASSERT_GT(pid, 0);
        EXPECT_EQ(waitForExitStatus(pid), kChildSetUpFailureStatus);
    }
}

}  // namespace
}  // namespace velmora::pty
