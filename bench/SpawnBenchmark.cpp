// Cost of starting a shell through PTYShellProcess, against a bare openpty + fork + exec + waitpid
// loop running the same shell in the same run. Both shells are told "exit 0" on their terminal and
// the round ends when the exit has been collected (reported, for the helper).
//
// Usage: bench_spawn [rounds]   (default 300). Runs once with the current descriptor limit and once
// with RLIMIT_NOFILE raised to its hard limit, where closing stray descriptors costs the most. As root it
// then starts a real `systemd --user` in a private mount namespace, runs again with every shell moved
// into a scope of its own (as the service does), and times one scope request on the scopes' thread.

#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "bench/PrivateUserManager.h"
#include "core/PTYShellProcess.h"
#include "platform/Dispatch.h"
#include "platform/UserScopes.h"

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kShell[] = "/bin/sh";
constexpr char kExit[] = "exit 0\n";

double helperRounds(int rounds) {
    auto queue = platform::DispatchQueue::createSerial("bench");
    kit::ShellLaunchRequest request;
    request.columns = 80;
    request.rows = 24;
    request.shellPath = kShell;
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        auto shell = core::PTYShellProcess::spawn(request);
        if (!shell) {
            std::fprintf(stderr, "spawn failed: %s\n", shell.error().description.c_str());
            std::exit(1);
        }
        std::promise<void> exited;
        (void)(*shell)->monitorExit(queue, [&](core::PTYShellProcess::ExitResult) { exited.set_value(); });
        if (::write((*shell)->masterFileHandle(), kExit, sizeof kExit - 1) < 0) std::exit(1);
        exited.get_future().wait();
        (*shell)->close(core::PTYShellProcess::HangUp::no);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
}

double bareRounds(int rounds) {
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        int master = -1;
        int terminal = -1;
        if (::openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) std::exit(1);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(master);
            if (::login_tty(terminal) != 0) ::_exit(127);
            ::execl(kShell, "sh", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (::write(master, kExit, sizeof kExit - 1) < 0) std::exit(1);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(terminal);
        ::close(master);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
}

// The machine is shared: the two loops alternate in blocks and each keeps its best block.
void compare(const char* label, int rounds) {
    constexpr int kBlocks = 5;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    // Warm both paths (page cache, dispatch threads) before measuring.
    helperRounds(10);
    bareRounds(10);
    int perBlock = rounds / kBlocks > 0 ? rounds / kBlocks : 1;
    double bare = 1e30;
    double helper = 1e30;
    for (int block = 0; block < kBlocks; ++block) {
        bare = std::min(bare, bareRounds(perBlock));
        helper = std::min(helper, helperRounds(perBlock));
    }
    std::printf("%-14s RLIMIT_NOFILE=%-9llu bare %8.1f us  PTYShellProcess %8.1f us  ratio %.2f\n", label,
                static_cast<unsigned long long>(limit.rlim_cur), bare, helper, helper / bare);
    // A row of scripts/bench.sh's table.
    std::printf(
        "| open shell until its exit is reported, %s (bench_spawn) | %.0f us | %.0f us | %.2fx | <= 1.15x "
        "|\n",
        label, bare, helper, helper / bare);
}

// Times scope requests one after another for live processes: the work each shell adds on the scopes'
// thread, from the request to the manager's answer.
void timeScopeRequests(const std::shared_ptr<platform::UserScopes>& scopes, int count) {
    std::vector<double> took;
    std::vector<pid_t> sleepers;
    for (int i = 0; i < count; ++i) {
        pid_t pid = -1;
        char sleep[] = "sleep", seconds[] = "60";
        char* argv[] = {sleep, seconds, nullptr};
        if (::posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ) != 0) std::exit(1);
        sleepers.push_back(pid);
        auto pidfd =
            std::make_shared<const platform::UniqueFd>(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        std::promise<bool> done;
        auto start = Clock::now();
        scopes->move({pid, pidfd, "bench-" + std::to_string(pid) + ".scope", "bench"},
                     [&](const auto& outcome) { done.set_value(outcome.has_value()); });
        if (!done.get_future().get()) std::exit(1);
        took.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    for (pid_t pid : sleepers) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    std::sort(took.begin(), took.end());
    std::printf(
        "| scope request per shell, on the scopes' thread, p50 / p99 (bench_spawn) | - | %.0f / %.0f us | - "
        "| off the open's path |\n",
        took[took.size() / 2], took[took.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
    if (rounds < 1) rounds = 1;
    compare("default limit", rounds);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        std::perror("setrlimit");
        return 1;
    }
    compare("hard limit", rounds);
    bench::PrivateUserManager manager;
    if (!manager.running()) {
        std::printf("(no private user manager without root: scopes not measured)\n");
        return 0;
    }
    ::setenv("XDG_RUNTIME_DIR", manager.runtimeDirectory().c_str(), 1);
    auto scopes = platform::UserScopes::create([](const platform::UserScopes::Failure& failure) {
        std::fprintf(stderr, "scope: %s\n", failure.message.c_str());
    });
    timeScopeRequests(scopes, 200);
    core::PTYShellProcess::setStartObserver([scopes](const core::PTYShellProcess& shell) {
        scopes->move({shell.processIdentifier(), shell.pidfd(),
                      "bench-shell-" + std::to_string(shell.processIdentifier()) + ".scope", "bench shell"});
    });
    compare("hard limit, scopes", rounds);
    return 0;
}
