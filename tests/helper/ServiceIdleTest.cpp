// The idle exit of the real helper process. This test waits out the real 60-second delay, so it
// carries its own ctest label ("slow").

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(IdleExit, ConnectionsHoldItOffAndTheLastOneLeavingRearmsIt) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening()) << helper.log();
    auto t0 = Clock::now();
    auto first = ClientEnd::connect(helper.socketPath(0));
    auto second = ClientEnd::connect(helper.socketPath(1));
    ASSERT_TRUE(first && second);
    std::this_thread::sleep_until(t0 + 1s);
    first->connection->invalidate();  // another connection remains: nothing is armed
    std::this_thread::sleep_until(t0 + 65s);
    ASSERT_TRUE(helper.running()) << helper.log();
    second->connection->invalidate();  // the last one leaving arms the exit
    auto left = Clock::now();
    std::this_thread::sleep_until(left + 30s);
    auto third = ClientEnd::connect(helper.socketPath());  // cancels it again
    ASSERT_TRUE(third);
    std::this_thread::sleep_until(left + 35s);
    third->connection->invalidate();
    auto lastLeft = Clock::now();
    std::this_thread::sleep_until(left + 70s);
    EXPECT_TRUE(helper.running()) << "exited 60 s after the second connection left, despite the third";
    auto status = helper.waitForExit(30s);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << helper.log();
    EXPECT_GE(Clock::now() - lastLeft, 59s);
    auto log = helper.log();
    EXPECT_NE(log.find("service: Idle; exiting\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Idle; exiting"), log.rfind("Idle; exiting"));
}

}  // namespace
}  // namespace velmora::testing
