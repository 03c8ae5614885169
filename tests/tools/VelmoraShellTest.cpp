// velmora-shell run for real against the real helper: as a plain process, and on a pseudo-terminal that
// is its controlling terminal, the way a person runs it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "kit/HelperInfo.h"
#include "platform/UniqueFd.h"
#include "tests/helper/ServiceTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

using platform::UniqueFd;

const std::filesystem::path kTool = VELMORA_SHELL_TOOL;

// The tool started on a fresh pseudo-terminal of the given size, as session leader with the terminal as
// its controlling terminal and standard input, output and error. The test holds both sides.
class TerminalRun {
  public:
    TerminalRun(std::vector<std::string> arguments, unsigned short columns, unsigned short rows) {
        winsize size{};
        size.ws_col = columns;
        size.ws_row = rows;
        int master = -1, slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return;
        master_.reset(master);
        slave_.reset(slave);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);

        std::vector<std::string> argvStrings{kTool.string()};
        argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& s : argvStrings) argv.push_back(s.data());
        argv.push_back(nullptr);
        std::string path = "PATH=/usr/bin:/bin", term = "TERM=dumb";
        char* envp[] = {path.data(), term.data(), nullptr};

        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            if (::ioctl(slave, TIOCSCTTY, 0) != 0) ::_exit(120);
            for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(slave, fd);
            ::execve(argv[0], argv.data(), envp);
            ::_exit(127);
        }
    }
    ~TerminalRun() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;

    [[nodiscard]] bool started() const { return pid_ > 0; }
    void type(const std::string& text) { writeAll(master_.get(), text); }
    // Everything shown on the terminal up to `needle` (and whatever came with it).
    std::string showUntil(const std::string& needle) {
        output_ += readUntil(master_.get(), needle);
        return output_;
    }
    [[nodiscard]] termios modes() const {
        termios modes{};
        ::tcgetattr(slave_.get(), &modes);
        return modes;
    }
    void resize(unsigned short columns, unsigned short rows) {
        winsize size{};
        size.ws_col = columns;
        size.ws_row = rows;
        ::ioctl(master_.get(), TIOCSWINSZ, &size);
    }
    // Keeps reading the terminal until the tool exits; its exit status, or nothing when it did not exit
    // (or was ended by a signal).
    std::optional<int> exitStatus(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!status_ && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 50) > 0) {
                char buffer[1024];
                ssize_t n = ::read(master_.get(), buffer, sizeof buffer);
                if (n > 0) output_.append(buffer, static_cast<size_t>(n));
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        }
        if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
        return WEXITSTATUS(*status_);
    }
    [[nodiscard]] const std::string& output() const { return output_; }

  private:
    UniqueFd master_;
    UniqueFd slave_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string output_;
};

bool isRaw(const termios& modes) {
    return (modes.c_lflag & (ICANON | ECHO | ISIG)) == 0;
}
bool isCooked(const termios& modes) {
    return (modes.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG);
}

class VelmoraShell : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(helper.waitUntilListening()) << helper.log(); }

    [[nodiscard]] std::vector<std::string> shellArguments() const {
        return {"--socket", helper.socketPath(), "--shell", "/bin/sh", "--no-login"};
    }

    HelperProcess helper;
};

TEST_F(VelmoraShell, InfoPrintsTheRunningHelpersFacts) {
    // The default socket comes from the runtime directory.
    auto byDefault =
        runProcess(kTool, {"info"}, {.environment = {{"XDG_RUNTIME_DIR", helper.runtimeDirectory()}}});
    EXPECT_EQ(byDefault.exitStatus, 0) << byDefault.standardError;
    auto info = kit::HelperInfo::decode(byDefault.standardOutput);
    ASSERT_TRUE(info) << info.error().description << ": " << byDefault.standardOutput;
    EXPECT_EQ(info->processIdentifier, helper.pid());
    EXPECT_EQ(info->protocolVersion, 2);
    EXPECT_EQ(info->version.description(), VELMORA_PROJECT_VERSION);
    EXPECT_TRUE(byDefault.standardError.empty()) << byDefault.standardError;

    auto explicitSocket = runProcess(kTool, {"info", "--socket", helper.socketPath(1)});
    EXPECT_EQ(explicitSocket.exitStatus, 0) << explicitSocket.standardError;
    auto again = kit::HelperInfo::decode(explicitSocket.standardOutput);
    ASSERT_TRUE(again) << explicitSocket.standardOutput;
    EXPECT_EQ(*again, *info);
}

TEST_F(VelmoraShell, ShellOnARealTerminalRunsRawResizesAndExitsWithTheShellsStatus) {
    TerminalRun run(shellArguments(), 90, 20);
    ASSERT_TRUE(run.started());
    run.type("stty size; echo ready-$((1+1))\r");
    auto shown = run.showUntil("ready-2");
    ASSERT_NE(shown.find("ready-2"), std::string::npos) << shown << helper.log();
    EXPECT_NE(shown.find("20 90"), std::string::npos) << shown;
    EXPECT_TRUE(isRaw(run.modes()));

    // The kernel tells the tool of the new size; the shell's terminal follows.
    run.resize(100, 30);
    run.type(
        "for i in 1 2 3 4 5 6 7 8 9 10; do s=$(stty size); [ \"$s\" = '30 100' ] && break; sleep 0.2; done;"
        " echo size=$s.\r");
    shown = run.showUntil("size=3");
    EXPECT_NE(shown.find("size=30 100."), std::string::npos) << shown;

    run.type("echo hi-$((40+2)); exit 7\r");
    EXPECT_EQ(run.exitStatus(), 7) << run.output();
    EXPECT_NE(run.output().find("hi-42"), std::string::npos) << run.output();
    EXPECT_TRUE(isCooked(run.modes()));
}

}  // namespace
}  // namespace velmora::testing
