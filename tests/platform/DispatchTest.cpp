#include "platform/Dispatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

// Blocks until `future` is ready or a generous timeout passes.
template <typename T>
bool arrives(std::future<T>& future, std::chrono::milliseconds timeout = 10s) {
    return future.wait_for(timeout) == std::future_status::ready;
}

// Lets every task already posted to `queue` finish.
void drain(DispatchQueue& queue) {
    queue.sync([] {});
}

// A child that has exited but is not yet reaped.
pid_t exitedChild() {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    siginfo_t info{};
    EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    return pid;
}

TEST(DispatchQueueTest, SerialQueueRunsTasksOneAtATimeInOrder) {
    auto queue = DispatchQueue::createSerial("order");
    std::vector<int> seen;
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    constexpr int kTasks = 2000;
    for (int i = 0; i < kTasks; ++i)
        queue->async([&, i] {
            if (running.fetch_add(1) != 0) ++overlaps;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    drain(*queue);
    ASSERT_EQ(seen.size(), static_cast<size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[i], i);
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(DispatchQueueTest, SyncFromInsideTheQueueRunsInline) {
    auto queue = DispatchQueue::createSerial("inline");
    std::promise<void> done;
    queue->async([&] {
        EXPECT_TRUE(queue->isCurrent());
        auto outer = std::this_thread::get_id();
        std::thread::id ranOn;
        queue->sync([&] { ranOn = std::this_thread::get_id(); });
        EXPECT_EQ(ranOn, outer);
        done.set_value();
    });
    auto future = done.get_future();
    EXPECT_TRUE(arrives(future)) << "a queue waited for itself";
}

TEST(DispatchQueueTest, SyncFromOutsideWaitsForTheWorkOnTheQueue) {
    auto queue = DispatchQueue::createSerial("outside");
    auto other = DispatchQueue::createSerial("other");
    EXPECT_FALSE(queue->isCurrent());
    std::atomic<bool> earlierTaskFinished{false};
    queue->async([&] {
        std::this_thread::sleep_for(50ms);
        earlierTaskFinished = true;
    });
    bool ranOnQueue = false;
    std::thread::id ranOn;
    queue->sync([&] {
        ranOnQueue = queue->isCurrent() && !other->isCurrent();
        ranOn = std::this_thread::get_id();
    });
    EXPECT_TRUE(earlierTaskFinished.load());
    EXPECT_TRUE(ranOnQueue);
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(queue->isCurrent());
}

TEST(DispatchQueueTest, UtilityQueueIsSharedAndConcurrent) {
    auto utility = DispatchQueue::utility();
    EXPECT_EQ(utility, DispatchQueue::utility());
    EXPECT_EQ(utility->kind(), DispatchQueue::Kind::concurrent);
    // Two tasks that each wait for the other can only finish when they run at the same time.
    std::promise<void> first;
    std::promise<void> second;
    std::promise<void> bothDone;
    std::atomic<int> finished{0};
    auto firstFuture = first.get_future().share();
    auto secondFuture = second.get_future().share();
    utility->async([&, secondFuture] {
        first.set_value();
        secondFuture.wait();
        if (++finished == 2) bothDone.set_value();
    });
    utility->async([&, firstFuture] {
        second.set_value();
        firstFuture.wait();
        if (++finished == 2) bothDone.set_value();
    });
    auto done = bothDone.get_future();
    EXPECT_TRUE(arrives(done));
}

TEST(OneShotTimerTest, FiresOnceOnItsQueueAfterTheDelay) {
    auto queue = DispatchQueue::createSerial("timer");
    std::atomic<int> calls{0};
    std::promise<bool> onQueue;
    auto start = std::chrono::steady_clock::now();
    auto timer = OneShotTimer::schedule(queue, 50ms, [&] {
        if (++calls == 1) onQueue.set_value(queue->isCurrent());
    });
    auto future = onQueue.get_future();
    ASSERT_TRUE(arrives(future));
    EXPECT_TRUE(future.get());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    std::this_thread::sleep_for(100ms);
    drain(*queue);
    EXPECT_EQ(calls.load(), 1);
    timer->cancel();  // after firing: harmless
}

TEST(OneShotTimerTest, CancelOrDropBeforeFiringPreventsIt) {
    for (bool drop : {false, true}) {
        SCOPED_TRACE(drop ? "dropped" : "cancelled");
        auto queue = DispatchQueue::createSerial("cancel");
        std::atomic<int> calls{0};
        auto captured = std::make_shared<int>(0);
        auto timer = OneShotTimer::schedule(queue, 50ms, [&calls, captured] { ++calls; });
        if (drop) {
            timer.reset();
        } else {
            timer->cancel();
            timer->cancel();
        }
        // The handler and what it captured are let go of at once.
        EXPECT_EQ(captured.use_count(), 1);
        std::this_thread::sleep_for(250ms);
        drain(*queue);
        EXPECT_EQ(calls.load(), 0);
    }
}

TEST(OneShotTimerTest, HandlerMayDropItsOwnTimer) {
    auto queue = DispatchQueue::createSerial("self");
    std::unique_ptr<OneShotTimer> timer;
    std::promise<void> fired;
    queue->sync([&] {
        timer = OneShotTimer::schedule(queue, 10ms, [&] {
            timer.reset();
            fired.set_value();
        });
    });
    auto future = fired.get_future();
    EXPECT_TRUE(arrives(future));
    drain(*queue);
    EXPECT_EQ(timer, nullptr);
}

// A child that runs until its pipe is closed, so the test decides when it exits.
struct HeldChild {
    pid_t pid = -1;
    int release = -1;

    HeldChild() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            char byte;
            ::close(ends[1]);
            (void)::read(ends[0], &byte, 1);
            ::_exit(7);
        }
        ::close(ends[0]);
        release = ends[1];
    }
    void letExit() {
        if (release >= 0) ::close(release);
        release = -1;
    }
    int reap() {
        letExit();
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(ProcessExitSourceTest, FiresOnceOnItsQueueWhenTheChildExitsUnlessCancelled) {
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "watched");
        HeldChild child;
        ASSERT_GT(child.pid, 0);
        auto queue = DispatchQueue::createSerial("exit");
        std::atomic<int> calls{0};
        std::promise<bool> fired;
        auto source = ProcessExitSource::watch(child.pid, queue, [&] {
            if (++calls == 1) fired.set_value(queue->isCurrent());
        });
        ASSERT_TRUE(source) << source.error().description();
        auto future = fired.get_future();
        if (cancel) (*source)->cancel();
        EXPECT_FALSE(arrives(future, 200ms)) << "fired while the child was running";
        child.letExit();
        EXPECT_EQ(arrives(future, cancel ? 200ms : 10s), !cancel);
        if (!cancel) {
            EXPECT_TRUE(future.get());
        }
        // Reaping stays with the owner.
        EXPECT_EQ(child.reap(), 7);
        drain(*queue);
        EXPECT_EQ(calls.load(), cancel ? 0 : 1);
    }
}

TEST(ProcessExitSourceTest, ChildThatExitedBeforeTheWatchIsStillReported) {
    // The exit is already there when the watch is armed; repeated to give the arming race a chance.
    auto queue = DispatchQueue::createSerial("early");
    for (int round = 0; round < 100; ++round) {
        pid_t pid = exitedChild();
        ASSERT_GT(pid, 0);
        auto pidfd = openPidfd(pid);
        ASSERT_TRUE(pidfd);
        std::promise<void> fired;
        auto source = ProcessExitSource::watch(std::move(*pidfd), queue, [&] { fired.set_value(); });
        ASSERT_TRUE(source);
        auto future = fired.get_future();
        EXPECT_TRUE(arrives(future, 5s)) << "round " << round;
        ::waitpid(pid, nullptr, 0);
        if (::testing::Test::HasFailure()) break;
    }
}

TEST(ProcessExitSourceTest, ExitSeenByTheLoopBeforeTheWaitBeginsIsNotLost) {
    // Occupy every loop thread, arm a watch on a child that has already exited, then let the loop go:
    // the loop may see the readiness before the wait is queued, and the exit must still be reported.
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> started{0};
    constexpr int kBlockers = 16;
    for (int i = 0; i < kBlockers; ++i)
        DispatchQueue::utility()->async([&started, released] {
            ++started;
            released.wait();
        });
    int seen = -1;
    while (seen != started.load()) {
        seen = started.load();
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_GT(seen, 0);

    pid_t pid = exitedChild();
    std::promise<void> fired;
    auto source =
        ProcessExitSource::watch(pid, DispatchQueue::createSerial("busy"), [&] { fired.set_value(); });
    release.set_value();
    ASSERT_TRUE(source);
    auto future = fired.get_future();
    EXPECT_TRUE(arrives(future, 5s));
    ::waitpid(pid, nullptr, 0);
}

TEST(ProcessExitSourceTest, NeverFiresWhileTheChildStillRuns) {
    // Sources come and go quickly around a watch that must stay quiet: readiness left over from a
    // finished registration must not be taken for this child's exit.
    auto queue = DispatchQueue::createSerial("churn");
    std::atomic<int> early{0};
    for (int round = 0; round < 200; ++round) {
        HeldChild held;
        ASSERT_GT(held.pid, 0);
        std::atomic<bool> exited{false};
        std::promise<void> heldFired;
        auto watch = ProcessExitSource::watch(held.pid, queue, [&] {
            if (!exited) ++early;
            heldFired.set_value();
        });
        ASSERT_TRUE(watch);
        for (int other = 0; other < 3; ++other) {
            pid_t pid = ::fork();
            if (pid == 0) ::_exit(0);
            std::promise<void> fired;
            auto source = ProcessExitSource::watch(pid, queue, [&] { fired.set_value(); });
            ASSERT_TRUE(source);
            auto future = fired.get_future();
            ASSERT_TRUE(arrives(future));
            ::waitpid(pid, nullptr, 0);
        }
        exited = true;
        held.letExit();
        auto future = heldFired.get_future();
        ASSERT_TRUE(arrives(future));
        held.reap();
    }
    EXPECT_EQ(early.load(), 0);
}

TEST(ProcessExitSourceTest, UnknownProcessIsRefused) {
    auto source = ProcessExitSource::watch(pid_t{999999999}, DispatchQueue::utility(), [] {});
    ASSERT_FALSE(source);
    EXPECT_EQ(source.error().call, "pidfd_open");
}

}  // namespace
}  // namespace velmora::platform
