// The dispatch layer's promises that the shell and service code lean on; the served helper exercises
// the rest.

#include "platform/Dispatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

TEST(Dispatch, SerialQueueRunsInOrderOneAtATimeAndSyncInsideRunsInline) {
    auto queue = DispatchQueue::createSerial("order");
    std::vector<int> seen;
    std::atomic<int> running{0}, overlaps{0};
    for (int i = 0; i < 2000; ++i)
        queue->async([&, i] {
            if (running.fetch_add(1) != 0) ++overlaps;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    bool inline_ = false;
    queue->sync([&] { queue->sync([&] { inline_ = true; }); });  // would deadlock if it queued
    ASSERT_EQ(seen.size(), 2000U);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(seen[i], i);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_TRUE(inline_);
}

TEST(Dispatch, TimerFiresOnceUnlessCancelledOrDropped) {
    auto queue = DispatchQueue::createSerial("timers");
    std::atomic<int> fired{0}, cancelled{0};
    auto timer = OneShotTimer::schedule(queue, 50ms, [&] { ++fired; });
    auto stopped = OneShotTimer::schedule(queue, 50ms, [&] { ++cancelled; });
    stopped->cancel();
    OneShotTimer::schedule(queue, 50ms, [&] { ++cancelled; }).reset();
    std::this_thread::sleep_for(300ms);
    queue->sync([] {});
    EXPECT_EQ(fired.load(), 1);
    EXPECT_EQ(cancelled.load(), 0);
}

TEST(Dispatch, ExitOfAChildIsReportedOnceEvenWhenItCameBeforeTheWatch) {
    auto queue = DispatchQueue::createSerial("exits");
    for (int round = 0; round < 50; ++round) {
        int go[2];
        ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            char byte;
            ::_exit(round % 2 == 0 ? 0 : static_cast<int>(::read(go[0], &byte, 1)));
        }
        ::close(go[0]);
        siginfo_t info{};
        if (round % 2 == 0)  // already exited, not yet reaped, when the watch is armed
            ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
        std::atomic<int> fired{0};
        std::promise<void> first;
        auto source = ProcessExitSource::watch(pid, queue, [&] {
            if (fired.fetch_add(1) == 0) first.set_value();
        });
        ASSERT_TRUE(source);
        std::this_thread::sleep_for(round % 2 == 0 ? 0ms : 20ms);
        if (round % 2 != 0) EXPECT_EQ(fired.load(), 0) << "fired while the child still ran";
        ::close(go[1]);
        ASSERT_EQ(first.get_future().wait_for(5s), std::future_status::ready) << "round " << round;
        ::waitpid(pid, nullptr, 0);
        queue->sync([] {});
        EXPECT_EQ(fired.load(), 1);
    }
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    EXPECT_FALSE(ProcessExitSource::watch(gone, queue, [] {}));  // reaped: nobody has this pid
}

}  // namespace
}  // namespace velmora::platform
