// Real children started with the plans the helper and its client use, checked from inside the child.

#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>

#include <algorithm>
#include <sstream>

namespace velmora::platform {
namespace {

using Kind = ExitStatus::Kind;

ProcessPlan captured(std::vector<std::string> arguments) {
    ProcessPlan plan;
    plan.arguments = std::move(arguments);
    plan.standardOutput = StandardStream::captured();
    return plan;
}

TEST(Process, RunsPlansAndReportsHowTheyEnded) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd given(ends[0]);
    ASSERT_EQ(::write(ends[1], "given\n", 6), 6);
    ::close(ends[1]);
    struct Case {
        ProcessPlan plan;
        std::size_t limit;
        ExitStatus status;
        std::string output;
    } cases[] = {
        {captured({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}), 64, {Kind::exited, 3}, "out\n"},
        {captured({"/bin/sh", "-c", "kill -9 $$"}), 64, {Kind::signalled, 9}, ""},
        {captured({"/bin/sh", "-c", "head -c 1000000 /dev/zero; exit 4"}),
         10,
         {Kind::exited, 4},
         std::string(10, '\0')},
        {captured({"/usr/bin/env"}), 64, {Kind::exited, 0}, "ONLY=1\n"},
        {captured({"echo", "found", "in PATH"}), 64, {Kind::exited, 0}, "found in PATH\n"},
        {captured({"/bin/pwd"}), 64, {Kind::exited, 0}, "/\n"},
        {captured({"/bin/cat"}), 64, {Kind::exited, 0}, ""},
        {captured({"/bin/cat"}), 64, {Kind::exited, 0}, "given\n"},
    };
    cases[3].plan.environment = std::vector<std::string>{"ONLY=1"};
    cases[4].plan.searchPath = true;
    cases[5].plan.workingDirectory = "/";
    cases[6].plan.standardInput = StandardStream::nullDevice();
    cases[7].plan.standardInput = StandardStream::descriptor(given.get());
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.plan.arguments.back());
        auto finished = runProcess(testCase.plan, testCase.limit);
        ASSERT_TRUE(finished) << finished.error().description();
        EXPECT_EQ(finished->status, testCase.status);
        EXPECT_EQ(finished->output, testCase.output);
    }
    EXPECT_EQ(runProcess(captured({"echo"})).error(), (SystemError{"posix_spawn", ENOENT}));
    EXPECT_EQ(runProcess(captured({"/nonexistent/tool"})).error(), (SystemError{"posix_spawn", ENOENT}));
}

// The words of what the child printed.
std::vector<std::string> printed(const ProcessPlan& plan) {
    auto finished = runProcess(plan, 4096);
    std::istringstream stream(finished ? finished->output : "");
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

// Whether `signal` is in the child's mask `name` ("SigIgn", "SigBlk").
bool inChildMask(const ProcessPlan& plan, const std::string& name, int signal) {
    auto words = printed(plan);
    auto at = std::find(words.begin(), words.end(), name + ":");
    EXPECT_LT(at + 1, words.end()) << name;
    return at + 1 < words.end() && (std::stoull(at[1], nullptr, 16) >> (signal - 1) & 1);
}

TEST(Process, NewSessionAndDefaultSignalsAreTheChildsOwn) {
    // What a client may carry into the helper it starts: SIGPIPE ignored and a signal blocked.
    auto previous = ::signal(SIGPIPE, SIG_IGN);
    sigset_t usr1, old;
    ::sigemptyset(&usr1);
    ::sigaddset(&usr1, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &usr1, &old);
    auto plan = captured({"/bin/cat", "/proc/self/status"});
    EXPECT_TRUE(inChildMask(plan, "SigIgn", SIGPIPE));
    EXPECT_TRUE(inChildMask(plan, "SigBlk", SIGUSR1));
    plan.defaultSignals = true;
    EXPECT_FALSE(inChildMask(plan, "SigIgn", SIGPIPE));
    EXPECT_FALSE(inChildMask(plan, "SigBlk", SIGUSR1));
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::signal(SIGPIPE, previous);

    // Word 6 of the stat line is the session, word 1 the process itself.
    plan = captured({"/bin/cat", "/proc/self/stat"});
    EXPECT_EQ(printed(plan).at(5), std::to_string(::getsid(0)));
    plan.newSession = true;
    auto stat = printed(plan);
    EXPECT_EQ(stat.at(5), stat.at(0));
}

TEST(Process, ARunningChildIsPinnedByItsPidfdUntilReaped) {
    ProcessPlan plan;
    plan.arguments = {"/bin/sleep", "600"};
    auto spawned = spawnProcess(plan).value();
    ASSERT_TRUE(spawned.pidfd.valid());
    EXPECT_EQ(exitIfEnded(spawned.pid).value(), std::nullopt);
    ASSERT_EQ(::syscall(SYS_pidfd_send_signal, spawned.pidfd.get(), SIGTERM, nullptr, 0), 0);
    EXPECT_EQ(waitForExit(spawned.pid).value(), (ExitStatus{Kind::signalled, SIGTERM}));
}

}  // namespace
}  // namespace velmora::platform
