// Shell processes on real terminals: what the child is started with, and the hang-up, delayed kill and
// exit report of a shell whose object is kept or released (the served helper releases it at once).

#include "core/PTYShellProcess.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <future>
#include <set>
#include <thread>

#include "core/HelperUserAccount.h"
#include "platform/Dispatch.h"
#include "tests/pty/TerminalTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::core {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ExitResult = PTYShellProcess::ExitResult;
const std::string kProbe = VELMORA_SHELL_PROBE;

kit::ShellLaunchRequest probeRequest(std::unordered_map<std::string, std::string> environment = {}) {
    return {.columns = 80, .rows = 24, .shellPath = kProbe, .loginShell = true, .environment = environment};
}

// Collects the one exit report of a shell, and when it came.
struct ExitWatch {
    std::promise<ExitResult> promise;
    std::future<ExitResult> future = promise.get_future();
    std::atomic<int> calls{0};
    Clock::time_point reportedAt;

    std::function<void(ExitResult)> handler() {
        return [this](ExitResult result) {
            reportedAt = Clock::now();
            if (calls.fetch_add(1) == 0) promise.set_value(result);
        };
    }
    std::optional<ExitResult> wait(std::chrono::milliseconds timeout = 15s) {
        if (future.wait_for(timeout) != std::future_status::ready) return std::nullopt;
        return future.get();
    }
};

std::shared_ptr<PTYShellProcess> spawn(const kit::ShellLaunchRequest& request, ExitWatch* watch = nullptr) {
    auto shell = PTYShellProcess::spawn(request);
    EXPECT_TRUE(shell) << shell.error().description;
    if (!shell) return nullptr;
    if (watch) (void)(*shell)->monitorExit(platform::DispatchQueue::createSerial("test"), watch->handler());
    return *shell;
}

TEST(PTYShellProcess, ChildGetsItsNameAFreshSortedEnvironmentAndAClampedSize) {
    ::setenv("SSH_AUTH_SOCK", "/run/agent.sock", 1);
    ::setenv("XPC_SERVICE_NAME", "com.example.leak", 1);
    ::setenv("VELMORA_TEST_SECRET", "must-not-pass", 1);
    ::setenv("LC_ALL", "de_CH.UTF-8@euro", 1);  // LANG comes from the helper's locale
    ::unsetenv("TMPDIR");
    // Leave the helper in a state its shells must not inherit: a blocked and an ignored signal, and a
    // descriptor that is not close-on-exec.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    struct sigaction ignore {};
    struct sigaction oldUsr2 {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGUSR2, &ignore, &oldUsr2), 0);
    int leaked[2];
    ASSERT_EQ(::pipe(leaked), 0);
    auto request =
        probeRequest({{"XPC_FLAGS", "1"}, {"EDITOR", "vi"}, {"AB", "2"}, {"A", "1"}, {"X=Y", "z"}});
    request.terminalProgramVersion = "3.1.4";
    request.rows = 0;
    request.columns = 100000;
    ExitWatch watch;
    auto shell = spawn(request, &watch);
    ASSERT_TRUE(shell);
    auto report = testing::parseProbeReport(testing::readUntil(shell->masterFileHandle(), "END\n"));
    for (const char* name : {"SSH_AUTH_SOCK", "XPC_SERVICE_NAME", "VELMORA_TEST_SECRET", "LC_ALL"})
        ::unsetenv(name);
    sigset_t after;  // the helper's own mask is back as it was
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &previous, &after), 0);
    EXPECT_EQ(sigismember(&after, SIGTERM), 1);
    EXPECT_EQ(sigismember(&after, SIGUSR1), 0);
    ::sigaction(SIGUSR2, &oldUsr2, nullptr);
    ::close(leaked[0]);
    ::close(leaked[1]);
    EXPECT_EQ(report["fds"], "0,1,2");
    EXPECT_EQ(report["blocked"], "");
    EXPECT_EQ(report["ignored"], "");
    EXPECT_EQ(report["session_leader"], "1");
    EXPECT_EQ(report["foreground"], "1");
    EXPECT_EQ(watch.wait(), (ExitResult{0, 0}));
    EXPECT_EQ(report["argv0"], "-velmora_shell_probe");
    EXPECT_EQ(report["argc"], "1");
    EXPECT_EQ(report["size"], "1x4096");
    auto account = HelperUserAccount::current();
    EXPECT_EQ(report["cwd"], account.homeDirectory);
    // Byte order of the whole texts: "A=1" before "AB=2". A requested name is taken as it is.
    EXPECT_EQ(
        report.environment,
        (std::vector<std::string>{
            "A=1", "AB=2", "COLORTERM=truecolor", "EDITOR=vi", "HOME=" + account.homeDirectory,
            "LANG=de_CH.UTF-8", "LOGNAME=" + account.userName, "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
            "SHELL=" + kProbe, "SSH_AUTH_SOCK=/run/agent.sock", "TERM=xterm-256color", "TERM_PROGRAM=Velmora",
            "TERM_PROGRAM_VERSION=3.1.4", "USER=" + account.userName, "X=Y=z"}));

    request = probeRequest();
    request.loginShell = false;
    request.columns = -3;
    request.rows = 50;
    shell = spawn(request);
    ASSERT_TRUE(shell);
    report = testing::parseProbeReport(testing::readUntil(shell->masterFileHandle(), "END\n"));
    EXPECT_EQ(report["argv0"], "velmora_shell_probe");
    EXPECT_EQ(report["size"], "50x1");
}

TEST(PTYShellProcess, ShellIgnoringTheHangUpGetsTheDelayedKill) {
    // Kept alive by its owner after the close (the served helper releases it, so a reaper kills it there).
    ExitWatch watch;
    auto shell = spawn(probeRequest({{"PROBE_MODE", "ignore-hup"}}), &watch);
    ASSERT_TRUE(shell);
    testing::readUntil(shell->masterFileHandle(), "END\n");
    auto closedAt = Clock::now();
    shell->close(PTYShellProcess::HangUp::yes);
    shell->close(PTYShellProcess::HangUp::yes);  // does nothing more
    EXPECT_EQ(watch.wait(), (ExitResult{-1, SIGKILL}));
    EXPECT_GE(watch.reportedAt - closedAt, PTYShellProcess::hangUpGracePeriod - 100ms);
    EXPECT_FALSE(shell->hasPendingKillForTesting());
    EXPECT_FALSE(shell->signal(SIGTERM));
}

}  // namespace
}  // namespace velmora::core
