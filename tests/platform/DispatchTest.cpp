// A race of the dispatch layer the served helper meets only rarely; it exercises the rest.

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

TEST(Dispatch, ExitOfAChildIsReportedOnceEvenWhenItCameBeforeTheWatch) {
    auto queue = DispatchQueue::createSerial("exits");
    for (int round = 0; round < 50; ++round) {
        int go[2];
        ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            char byte;
            ::close(go[1]);
            ::_exit(round % 2 == 0 ? 0 : static_cast<int>(::read(go[0], &byte, 1)));
        }
        ::close(go[0]);
        siginfo_t info{};
        if (round % 2 == 0) {  // already exited, not yet reaped, when the watch is armed
            ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
        }
        std::atomic<int> fired{0};
        std::promise<void> first;
        auto source = ProcessExitSource::watch(pid, queue, [&] {
            if (fired.fetch_add(1) == 0) first.set_value();
        });
        ASSERT_TRUE(source);
        std::this_thread::sleep_for(round % 2 == 0 ? 0ms : 20ms);
        if (round % 2 != 0) {
            EXPECT_EQ(fired.load(), 0) << "fired while the child still ran";
        }
        ::close(go[1]);
        ASSERT_EQ(first.get_future().wait_for(5s), std::future_status::ready) << "round " << round;
        ::waitpid(pid, nullptr, 0);
        queue->sync([] {});
        EXPECT_EQ(fired.load(), 1);
    }
}

}  // namespace
}  // namespace velmora::platform
