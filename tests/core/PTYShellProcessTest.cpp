#include "core/PTYShellProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "core/HelperUserAccount.h"
#include "platform/Dispatch.h"
#include "platform/Environment.h"
#include "tests/pty/TerminalTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::core {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::parseProbeReport;
using testing::readTerminalUntil;
using ExitResult = PTYShellProcess::ExitResult;

const std::string kProbe = VELMORA_SHELL_PROBE;
const std::string kProbeName = "velmora_shell_probe";

kit::ShellLaunchRequest probeRequest(std::unordered_map<std::string, std::string> environment = {}) {
    kit::ShellLaunchRequest request;
    request.columns = 80;
    request.rows = 24;
    request.shellPath = kProbe;
    request.loginShell = true;
    request.environment = std::move(environment);
    return request;
}

kit::ShellLaunchRequest shRequest() {
    kit::ShellLaunchRequest request;
    request.columns = 80;
    request.rows = 24;
    request.shellPath = "/bin/sh";
    return request;
}

std::shared_ptr<PTYShellProcess> spawnOrFail(const kit::ShellLaunchRequest& request) {
    auto shell = PTYShellProcess::spawn(request);
    EXPECT_TRUE(shell.has_value()) << (shell ? "" : shell.error().description);
    return shell ? *shell : nullptr;
}

// Pids of this process's children, zombies included.
std::set<pid_t> childProcesses() {
    std::set<pid_t> children;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream file(task.path() / "children");
        pid_t pid;
        while (file >> pid) children.insert(pid);
    }
    return children;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Collects the one exit report of a shell.
struct ExitWatch {
    std::promise<ExitResult> promise;
    std::future<ExitResult> future = promise.get_future();
    std::atomic<int> calls{0};
    std::atomic<Clock::rep> reportedAt{0};

    std::function<void(ExitResult)> handler() {
        return [this](ExitResult result) {
            reportedAt = Clock::now().time_since_epoch().count();
            if (calls.fetch_add(1) == 0) promise.set_value(result);
        };
    }
    std::optional<ExitResult> wait(std::chrono::milliseconds timeout = 15s) {
        if (future.wait_for(timeout) != std::future_status::ready) return std::nullopt;
        return future.get();
    }
};

std::shared_ptr<platform::DispatchQueue> testQueue() {
    return platform::DispatchQueue::createSerial("shell-test");
}

std::shared_ptr<PTYShellProcess> spawnWatched(const kit::ShellLaunchRequest& request, ExitWatch& watch) {
    auto shell = spawnOrFail(request);
    if (shell) shell->monitorExit(testQueue(), watch.handler());
    return shell;
}

// Types `command` into the shell and reads up to `until`; returns what was read.
std::string say(PTYShellProcess& shell, const std::string& command, const std::string& until) {
    EXPECT_EQ(::write(shell.masterFileHandle(), command.data(), command.size()),
              static_cast<ssize_t>(command.size()));
    return until.empty() ? std::string() : readTerminalUntil(shell.masterFileHandle(), until);
}

void waitForPrompt(PTYShellProcess& shell) {
    say(shell, "echo READY$((1+1))\n", "READY2\n");
}

// ---- resolution

TEST(PTYShellProcessResolutionTest, ShellPathRules) {
    testing::TemporaryDirectory directory;
    auto plain = directory.path() / "plain";
    testing::writeFile(plain, "#!/bin/sh\n");
    ::chmod(plain.c_str(), 0644);

    EXPECT_EQ(PTYShellProcess::resolveShellPath(std::nullopt, "/bin/login-shell"), "/bin/login-shell");
    EXPECT_EQ(PTYShellProcess::resolveShellPath(" \t\n ", "/bin/login-shell"), "/bin/login-shell");
    EXPECT_EQ(PTYShellProcess::resolveShellPath("  /bin/sh\n", "/x"), "/bin/sh");
    EXPECT_EQ(PTYShellProcess::resolveShellPath(" bin/zsh ", "/x").error().description,
              "Shell path must be absolute: bin/zsh");
    EXPECT_EQ(PTYShellProcess::resolveShellPath("/bin", "/x").error().description, "Shell not found: /bin");
    EXPECT_EQ(PTYShellProcess::resolveShellPath("/no/such/shell ", "/x").error().description,
              "Shell not found: /no/such/shell");
    EXPECT_EQ(PTYShellProcess::resolveShellPath(plain.string(), "/x").error().description,
              "Shell is not executable: " + plain.string());
}

TEST(PTYShellProcessResolutionTest, WorkingDirectoryRules) {
    testing::TemporaryDirectory home;
    std::filesystem::create_directory(home.path() / "projects");
    testing::writeFile(home.path() / "file", "x");
    const std::string homePath = home.path().string();
    const std::string rootHome = ::getpwnam("root")->pw_dir;

    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory(std::nullopt, homePath), homePath);
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory("  ", homePath), homePath);
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory("~", homePath), homePath);
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory(" ~/ ", homePath), homePath);
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory("~/projects", homePath), homePath + "/projects");
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory("~root", homePath), rootHome);
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory("~no-such-user-here/x", homePath), homePath);
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory("/tmp", homePath), "/tmp");
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory(homePath + "/file", homePath), homePath);
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory("projects", homePath), homePath);
    EXPECT_EQ(PTYShellProcess::resolveWorkingDirectory(homePath + "/missing", homePath), homePath);
}

TEST(PTYShellProcessResolutionTest, TemporaryDirectoryMustBeAnExistingDirectoryOfTheUser) {
    testing::TemporaryDirectory directory;
    auto own = directory.path() / "own";
    auto foreign = directory.path() / "foreign";
    std::filesystem::create_directory(own);
    std::filesystem::create_directory(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    std::optional<std::string> saved = platform::environmentValue("TMPDIR");

    ::setenv("TMPDIR", own.c_str(), 1);
    EXPECT_EQ(PTYShellProcess::userTemporaryDirectory(), own.string());
    ::setenv("TMPDIR", foreign.c_str(), 1);
    EXPECT_EQ(PTYShellProcess::userTemporaryDirectory(), std::nullopt);
    ::setenv("TMPDIR", (directory.path() / "missing").c_str(), 1);
    EXPECT_EQ(PTYShellProcess::userTemporaryDirectory(), std::nullopt);
    ::setenv("TMPDIR", ("/" + std::string(1100, 'a')).c_str(), 1);
    EXPECT_EQ(PTYShellProcess::userTemporaryDirectory(), std::nullopt);
    ::unsetenv("TMPDIR");
    EXPECT_EQ(PTYShellProcess::userTemporaryDirectory(), std::nullopt);
    if (saved) ::setenv("TMPDIR", saved->c_str(), 1);
}

TEST(PTYShellProcessSpawnTest, RefusedShellsLeaveNothingOpen) {
    auto before = testing::openDescriptors();
    auto children = childProcesses();
    auto request = shRequest();
    request.shellPath = "bin/zsh";
    EXPECT_EQ(PTYShellProcess::spawn(request).error().description, "Shell path must be absolute: bin/zsh");
    request.shellPath = "/usr";
    EXPECT_EQ(PTYShellProcess::spawn(request).error().description, "Shell not found: /usr");
    EXPECT_EQ(testing::openDescriptors(), before);
    EXPECT_EQ(childProcesses(), children);
}

// ---- what the shell sees

class PTYShellProcessChildTest : public ::testing::Test {
  protected:
    // Spawns the probe, reads its report and collects its exit.
    testing::ProbeReport probe(const kit::ShellLaunchRequest& request,
                               std::shared_ptr<PTYShellProcess>* keep = nullptr) {
        auto shell = spawnOrFail(request);
        if (!shell) return {};
        ExitWatch watch;
        shell->monitorExit(testQueue(), watch.handler());
        std::string output = readTerminalUntil(shell->masterFileHandle(), "END\n");
        auto result = watch.wait();
        EXPECT_EQ(result, (ExitResult{0, 0})) << output;
        shell->close(false);
        if (keep) *keep = shell;
        auto report = parseProbeReport(output);
        EXPECT_TRUE(report.complete) << output;
        return report;
    }
};

TEST_F(PTYShellProcessChildTest, ArgumentZeroFollowsTheLoginFlag) {
    auto request = probeRequest();
    EXPECT_EQ(probe(request)["argv0"], "-" + kProbeName);
    request.loginShell = false;
    auto report = probe(request);
    EXPECT_EQ(report["argv0"], kProbeName);
    EXPECT_EQ(report["argc"], "1");
}

TEST_F(PTYShellProcessChildTest, EnvironmentIsBuiltFromScratchAndSorted) {
    std::optional<std::string> savedAll = platform::environmentValue("LC_ALL");
    ::setenv("LC_ALL", "de_CH.UTF-8@euro", 1);  // LANG comes from the helper's locale
    ::setenv("SSH_AUTH_SOCK", "/run/agent.sock", 1);
    ::setenv("XPC_SERVICE_NAME", "com.example.leak", 1);
    ::setenv("VELMORA_TEST_SECRET", "must-not-pass", 1);
    auto request = probeRequest({{"XPC_FLAGS", "1"},
                                 {"DYLD_INSERT_LIBRARIES", "x"},
                                 {"EDITOR", "vi"},
                                 {"AB", "2"},
                                 {"A", "1"},
                                 {"XPC_SERVICE_NAME=x", "y"}});
    request.terminalProgramVersion = "3.1.4";
    auto report = probe(request);
    for (const char* name : {"SSH_AUTH_SOCK", "XPC_SERVICE_NAME", "VELMORA_TEST_SECRET"}) ::unsetenv(name);
    if (savedAll)
        ::setenv("LC_ALL", savedAll->c_str(), 1);
    else
        ::unsetenv("LC_ALL");

    // Sorted, with "=" before letters.
    auto sorted = report.environment;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(report.environment, sorted);
    auto a = std::find(report.environment.begin(), report.environment.end(), "A=1");
    ASSERT_NE(a, report.environment.end());
    EXPECT_LT(a, std::find(report.environment.begin(), report.environment.end(), "AB=2"));

    auto account = HelperUserAccount::current();
    std::set<std::string> expected{"A=1",
                                   "AB=2",
                                   "COLORTERM=truecolor",
                                   "EDITOR=vi",
                                   "HOME=" + account.homeDirectory,
                                   "LANG=de_CH.UTF-8",
                                   "LOGNAME=" + account.userName,
                                   "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                                   "SHELL=" + kProbe,
                                   "SSH_AUTH_SOCK=/run/agent.sock",
                                   "TERM=xterm-256color",
                                   "TERM_PROGRAM=Velmora",
                                   "TERM_PROGRAM_VERSION=3.1.4",
                                   "USER=" + account.userName};
    // TMPDIR depends on the test's own TMPDIR.
    std::set<std::string> seen;
    for (const auto& entry : report.environment)
        if (entry.rfind("TMPDIR=", 0) != 0) seen.insert(entry);
    EXPECT_EQ(seen, expected);
}

TEST_F(PTYShellProcessChildTest, ChildHasOnlyItsTerminalAndAnEmptySignalMask) {
    int leaked[2];
    ASSERT_EQ(::pipe(leaked), 0);
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    auto report = probe(probeRequest());
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(leaked[0]);
    ::close(leaked[1]);
    EXPECT_EQ(report["fds"], "0,1,2");
    EXPECT_EQ(report["blocked"], "");
    EXPECT_EQ(report["ignored"], "");
    EXPECT_EQ(report["session_leader"], "1");
    EXPECT_EQ(report["foreground"], "1");
}

TEST_F(PTYShellProcessChildTest, WindowSizeIsClamped) {
    auto request = probeRequest();
    request.rows = 0;
    request.columns = 100000;
    EXPECT_EQ(probe(request)["size"], "1x4096");
    request.rows = 50;
    request.columns = -3;
    EXPECT_EQ(probe(request)["size"], "50x1");
}

TEST_F(PTYShellProcessChildTest, StartDirectoryFallsBackToHome) {
    const std::string home = HelperUserAccount::current().homeDirectory;
    testing::TemporaryDirectory directory;
    testing::writeFile(directory.path() / "file", "x");

    std::shared_ptr<PTYShellProcess> shell;
    auto request = probeRequest();
    for (const std::string& requested :
         std::vector<std::string>{"~", (directory.path() / "file").string(), std::string("relative/path"),
                                  (directory.path() / "missing").string()}) {
        request.workingDirectory = requested;
        EXPECT_EQ(probe(request, &shell)["cwd"], home) << requested;
        EXPECT_EQ(shell->workingDirectory(), home) << requested;
    }
    request.workingDirectory = directory.path().string();
    EXPECT_EQ(probe(request, &shell)["cwd"], directory.path().string());
    EXPECT_EQ(shell->workingDirectory(), directory.path().string());
    EXPECT_EQ(shell->shellPath(), kProbe);
    EXPECT_EQ(shell->ttyPath().rfind("/dev/pts/", 0), 0U) << shell->ttyPath();
}

// ---- a real shell

TEST(PTYShellProcessShellTest, ResizeIsSeenByStty) {
    ExitWatch watch;
    auto shell = spawnWatched(shRequest(), watch);
    ASSERT_TRUE(shell);
    ASSERT_TRUE(shell->resize(100, 50));
    EXPECT_NE(say(*shell, "stty size; echo MARK$((40+2))\n", "MARK42\n").find("50 100\n"), std::string::npos);
    ASSERT_TRUE(shell->resize(-5, 5000));
    EXPECT_NE(say(*shell, "stty size; echo MARK$((40+3))\n", "MARK43\n").find("4096 1\n"), std::string::npos);
    say(*shell, "exit 3\n", "");
    EXPECT_EQ(watch.wait(), (ExitResult{3, 0}));
    EXPECT_FALSE(shell->signal(SIGTERM));
    EXPECT_TRUE(shell->resize(10, 10));  // exited but not closed: the terminal is still ours
    shell->close(true);
    EXPECT_FALSE(shell->resize(10, 10));
    EXPECT_EQ(shell->masterFileHandle(), -1);
    EXPECT_FALSE(shell->hasPendingKillForTesting());
    EXPECT_EQ(watch.calls.load(), 1);
}

TEST(PTYShellProcessShellTest, SignalReachesTheShellAndIsReported) {
    ExitWatch watch;
    auto shell = spawnWatched(shRequest(), watch);
    ASSERT_TRUE(shell);
    waitForPrompt(*shell);
    // An interactive shell ignores SIGTERM; SIGKILL it cannot.
    EXPECT_TRUE(shell->signal(SIGTERM));
    EXPECT_TRUE(shell->signal(SIGKILL));
    EXPECT_EQ(watch.wait(), (ExitResult{-1, SIGKILL}));
    EXPECT_FALSE(shell->signal(SIGKILL));
}

TEST(PTYShellProcessShellTest, ClosedShellCanStillBeSignalled) {
    // Closing the controlling side hangs the terminal up, so the shell must ignore SIGHUP to outlive it.
    ExitWatch watch;
    auto shell = spawnWatched(probeRequest({{"PROBE_MODE", "ignore-hup"}}), watch);
    ASSERT_TRUE(shell);
    readTerminalUntil(shell->masterFileHandle(), "END\n");
    shell->close(false);
    EXPECT_FALSE(shell->hasPendingKillForTesting());
    EXPECT_FALSE(shell->resize(80, 24));
    EXPECT_TRUE(shell->signal(SIGTERM));
    EXPECT_EQ(watch.wait(), (ExitResult{-1, SIGTERM}));
}

TEST(PTYShellProcessShellTest, HangUpEndsAShellOrTheDelayedKillDoes) {
    for (bool ignoresHangUp : {false, true}) {
        SCOPED_TRACE(ignoresHangUp ? "ignores the hang-up" : "plain shell");
        ExitWatch watch;
        auto shell =
            spawnWatched(ignoresHangUp ? probeRequest({{"PROBE_MODE", "ignore-hup"}}) : shRequest(), watch);
        ASSERT_TRUE(shell);
        if (ignoresHangUp)
            readTerminalUntil(shell->masterFileHandle(), "END\n");
        else
            waitForPrompt(*shell);
        auto closedAt = Clock::now();
        shell->close(true);
        EXPECT_TRUE(!ignoresHangUp || shell->hasPendingKillForTesting());
        shell->close(true);  // does nothing more
        auto result = watch.wait();
        auto elapsed = Clock::time_point(Clock::duration(watch.reportedAt.load())) - closedAt;
        if (ignoresHangUp) {
            EXPECT_EQ(result, (ExitResult{-1, SIGKILL}));
            EXPECT_GE(elapsed, PTYShellProcess::hangUpGracePeriod - 100ms);
            EXPECT_LT(elapsed, PTYShellProcess::hangUpGracePeriod + 5s);
        } else {
            EXPECT_EQ(result, (ExitResult{-1, SIGHUP}));
        }
        // The reap cancelled the delayed kill.
        EXPECT_FALSE(shell->hasPendingKillForTesting());
    }
}

TEST(PTYShellProcessShellTest, HangUpRightAfterSpawnIsNotLost) {
    // Closed before the child has made its own session: the hang-up must still end it, not the
    // delayed kill three seconds later.
    for (int round = 0; round < 20; ++round) {
        ExitWatch watch;
        auto shell = spawnWatched(shRequest(), watch);
        ASSERT_TRUE(shell);
        shell->close(true);
        ASSERT_EQ(watch.wait(), (ExitResult{-1, SIGHUP})) << "round " << round;
    }
}

TEST(PTYShellProcessShellTest, ExitBeforeMonitoringIsReportedAtOnceExactlyOnce) {
    auto shell = spawnOrFail(probeRequest({{"PROBE_EXIT", "5"}}));
    ASSERT_TRUE(shell);
    // Wait for the exit without collecting it.
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(shell->processIdentifier()), &info, WEXITED | WNOWAIT), 0);

    ExitWatch watch;
    std::thread::id calledOn;
    auto handler = watch.handler();
    shell->monitorExit(testQueue(), [&](ExitResult result) {
        calledOn = std::this_thread::get_id();
        handler(result);
    });
    EXPECT_EQ(watch.calls.load(), 1);
    EXPECT_EQ(calledOn, std::this_thread::get_id());
    EXPECT_EQ(watch.wait(0ms), (ExitResult{5, 0}));
    // The exit source saw the exit too; it must not report it again.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(watch.calls.load(), 1);
}

TEST(PTYShellProcessShellTest, NoHandlerOnceTheObjectIsGone) {
    auto shell = spawnOrFail(probeRequest({{"PROBE_MODE", "wait"}}));
    ASSERT_TRUE(shell);
    std::atomic<int> calls{0};
    auto queue = testQueue();
    shell->monitorExit(queue, [&](ExitResult) { ++calls; });
    pid_t pid = shell->processIdentifier();
    shell.reset();
    ASSERT_TRUE(waitUntil([&] { return !childProcesses().contains(pid); }));
    queue->sync([] {});
    EXPECT_EQ(calls.load(), 0);
}

// ---- released before the exit

TEST(PTYShellProcessLifetimeTest, ReleasedShellIgnoringHangUpIsKilledOnTimeAndReaped) {
    // Released at once, or closed and released well into the grace period: a kill counted from the
    // release would come 2 s late.
    for (bool closedFirst : {false, true}) {
        SCOPED_TRACE(closedFirst ? "closed, then released" : "released");
        auto shell = spawnOrFail(probeRequest({{"PROBE_MODE", "ignore-hup"}}));
        ASSERT_TRUE(shell);
        readTerminalUntil(shell->masterFileHandle(), "END\n");
        pid_t pid = shell->processIdentifier();
        auto pidfd = platform::openPidfd(pid);
        ASSERT_TRUE(pidfd);
        auto startedAt = Clock::now();
        if (closedFirst) {
            shell->close(true);
            std::this_thread::sleep_for(2s);
        }
        shell.reset();

        pollfd entry{pidfd->get(), POLLIN, 0};
        ASSERT_EQ(::poll(&entry, 1, 10000), 1);
        auto elapsed = Clock::now() - startedAt;
        EXPECT_GE(elapsed, PTYShellProcess::hangUpGracePeriod - 100ms);
        if (closedFirst) {
            EXPECT_LT(elapsed, PTYShellProcess::hangUpGracePeriod + 1800ms);
        }
        EXPECT_TRUE(waitUntil([&] { return !childProcesses().contains(pid); }));
    }
}

TEST(PTYShellProcessLifetimeTest, ManySpawnsLeaveNoDescriptorOrZombie) {
    // One round first, so that lazily created loop descriptors are counted in the baseline.
    spawnOrFail(shRequest())->close(true);
    ASSERT_TRUE(waitUntil([] { return childProcesses().empty(); }));
    const auto baseline = testing::openDescriptors().size();

    auto queue = testQueue();
    for (int round = 0; round < 500; ++round) {
        auto shell = spawnOrFail(round % 2 == 0 ? shRequest() : probeRequest());
        ASSERT_TRUE(shell);
        if (round % 4 == 1) {
            // Monitored to the end, as a session does.
            ExitWatch watch;
            shell->monitorExit(queue, watch.handler());
            ASSERT_TRUE(watch.wait());
            shell->close(false);
        } else if (round % 4 == 3) {
            shell->monitorExit(queue, [](ExitResult) {});
            shell->close(true);
        }
        // Otherwise released with no watch at all.
    }
    EXPECT_TRUE(waitUntil([] { return childProcesses().empty(); }, 30s)) << childProcesses().size();
    EXPECT_TRUE(waitUntil([&] { return testing::openDescriptors().size() <= baseline; }))
        << testing::openDescriptors().size() << " > " << baseline;
    siginfo_t info{};
    EXPECT_EQ(::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), -1);
    EXPECT_EQ(errno, ECHILD);
}

// ---- as an ordinary user

// Runs `body` in a child process, as nobody when asked; returns the child's exit status.
int runInChild(const std::function<int()>& body, bool asNobody) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(90);
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(PTYShellProcessUserTest, DirectoryThatCannotBeEnteredEndsTheChildWith127) {
    testing::TemporaryDirectory directory;
    auto locked = directory.path() / "locked";
    std::filesystem::create_directory(locked);
    ::chmod(locked.c_str(), 0700);
    ::chmod(directory.path().c_str(), 0755);

    int status = runInChild(
        [&] {
            auto request = probeRequest();
            request.workingDirectory = locked.string();
            auto shell = PTYShellProcess::spawn(request);
            if (!shell) return 91;
            if ((*shell)->workingDirectory() != locked.string()) return 92;
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>((*shell)->processIdentifier()), &info, WEXITED | WNOWAIT) !=
                0)
                return 93;
            std::optional<ExitResult> result;
            (*shell)->monitorExit(platform::DispatchQueue::createSerial("nobody"),
                                  [&](ExitResult r) { result = r; });
            if (!result) return 94;
            return result->exitStatus == 127 && result->terminationSignal == 0 ? 0 : 95;
        },
        true);
    EXPECT_EQ(status, 0);
}

// Counted without opening a descriptor, as the limits here may allow none.
int countOpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd) count += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    return count;
}

// 0 when a spawn fails with `expected` and leaves nothing open.
int expectSpawnFailure(const std::string& expected) {
    auto before = countOpenDescriptors();
    auto shell = PTYShellProcess::spawn(shRequest());
    if (shell) return 1;
    if (shell.error().description != expected) {
        ::fprintf(stderr, "got: %s\n", shell.error().description.c_str());
        return 2;
    }
    return countOpenDescriptors() == before ? 0 : 3;
}

TEST(PTYShellProcessUserTest, SpawnStepsThatFailAreReportedAndLeaveNothingOpen) {
    struct Case {
        int resource;
        bool asNobody;  // the process limit binds an ordinary user only
        std::string expected;
    };
    const Case cases[] = {
        {RLIMIT_NOFILE, false, "openpty failed: " + platform::SystemError{"", EMFILE}.reason()},
        {RLIMIT_NPROC, true, "fork for /bin/sh failed: " + platform::SystemError{"", EAGAIN}.reason()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        int status = runInChild(
            [&] {
                rlimit limit{0, 0};
                ::setrlimit(c.resource, &limit);
                return expectSpawnFailure(c.expected);
            },
            c.asNobody);
        EXPECT_EQ(status, 0);
    }
}

}  // namespace
}  // namespace velmora::core
