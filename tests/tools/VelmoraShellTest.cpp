// velmora-shell run for real against the real helper: as a plain process, and on a pseudo-terminal that
// is its controlling terminal, the way a person runs it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include "kit/HelperInfo.h"
#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

const std::string kTool = VELMORA_SHELL_TOOL;

class VelmoraShell : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(helper.waitUntilListening()) << helper.log(); }
    HelperProcess helper;
};

TEST_F(VelmoraShell, InfoPrintsTheRunningHelpersFacts) {
    // The default socket comes from the runtime directory; either service name answers alike.
    auto byDefault = runProcess(kTool, {"info", "--json"},
                                {.environment = {{"XDG_RUNTIME_DIR", helper.runtimeDirectory()}}});
    EXPECT_EQ(byDefault.exitStatus, 0) << byDefault.standardError;
    auto info = kit::HelperInfo::decode(byDefault.standardOutput);
    ASSERT_TRUE(info) << byDefault.standardOutput;
    EXPECT_EQ(info->processIdentifier, helper.pid());
    EXPECT_EQ(runProcess(kTool, {"info", "--json", "--socket", helper.socketPath(1)}).standardOutput,
              byDefault.standardOutput);
    auto missing = runProcess(kTool, {"info", "--socket", "/nonexistent/socket"});
    EXPECT_EQ(missing.exitStatus, 69);
    EXPECT_TRUE(missing.standardError.starts_with("velmora-shell: cannot connect")) << missing.standardError;
}

TEST_F(VelmoraShell, ShellOnARealTerminalRunsRawFollowsResizesAndExitsWithTheShellsStatus) {
    winsize size{20, 90, 0, 0};
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
    platform::UniqueFd controlling(master), terminal(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    std::vector<std::string> texts{kTool,     "--socket",   helper.socketPath(),  "--shell",
                                   "/bin/sh", "--no-login", "PATH=/usr/bin:/bin", "TERM=dumb"};
    char* argv[] = {texts[0].data(), texts[1].data(), texts[2].data(), texts[3].data(),
                    texts[4].data(), texts[5].data(), nullptr};
    char* envp[] = {texts[6].data(), texts[7].data(), nullptr};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        if (::ioctl(slave, TIOCSCTTY, 0) != 0) ::_exit(120);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(slave, fd);
        ::execve(argv[0], argv, envp);
        ::_exit(127);
    }
    auto modes = [&] {
        termios current{};
        ::tcgetattr(slave, &current);
        return current.c_lflag & (ICANON | ECHO | ISIG);
    };
    writeAll(master, "stty size; echo ready-$((1+1))\r");
    auto shown = readUntil(master, "ready-2");
    EXPECT_NE(shown.find("20 90"), std::string::npos) << shown << helper.log();
    EXPECT_EQ(modes(), 0U);  // raw while the shell runs

    // The kernel tells the tool of the new size; the shell's terminal follows.
    size = {30, 100, 0, 0};
    ::ioctl(master, TIOCSWINSZ, &size);
    writeAll(master,
             "for i in 1 2 3 4 5 6 7 8 9 10; do s=$(stty size); [ \"$s\" = '30 100' ] && break; sleep 0.2;"
             " done; echo size=$s.\r");
    EXPECT_NE(readUntil(master, "size=3").find("size=30 100."), std::string::npos);

    writeAll(master, "exit 7\r");
    int status = -1;
    for (int i = 0; i < 300 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        readUntil(master, "\x01", std::chrono::milliseconds(50));  // keeps the terminal drained
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
    EXPECT_EQ(modes(), static_cast<unsigned>(ICANON | ECHO | ISIG));  // cooked again
    if (status == -1) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace velmora::testing
