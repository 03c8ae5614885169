// The idle exit of the real helper process. These tests wait out the real 60-second delay, so they
// carry their own ctest label ("slow").

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool exitedCleanly(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

void sleepUntil(Clock::time_point when) {
    std::this_thread::sleep_until(when);
}

TEST(IdleExit, ConnectionsHoldItOffAndTheLastOneLeavingRearmsIt) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening()) << helper.log();
    auto t0 = Clock::now();
    auto first = ClientEnd::connect(helper.socketPath(0));
    auto second = ClientEnd::connect(helper.socketPath(1));
    ASSERT_TRUE(first && second);
    sleepUntil(t0 + 1s);
    first->connection->invalidate();  // another connection remains: nothing is armed
    sleepUntil(t0 + 65s);
    ASSERT_TRUE(helper.running()) << helper.log();
    second->connection->invalidate();  // the last one leaving arms the exit
    auto left = Clock::now();
    sleepUntil(left + 30s);
    auto third = ClientEnd::connect(helper.socketPath());  // cancels it again
    ASSERT_TRUE(third);
    sleepUntil(left + 35s);
    third->connection->invalidate();
    auto lastLeft = Clock::now();
    sleepUntil(left + 70s);
    EXPECT_TRUE(helper.running()) << "exited 60 s after the second connection left, despite the third";
    auto status = helper.waitForExit(30s);
    ASSERT_TRUE(exitedCleanly(status)) << helper.log();
    EXPECT_GE(Clock::now() - lastLeft, 59s);
    auto log = helper.log();
    size_t idleLines = 0;
    for (size_t at = log.find("Idle; exiting"); at != std::string::npos;
         at = log.find("Idle; exiting", at + 1))
        ++idleLines;
    EXPECT_EQ(idleLines, 1u);
}

}  // namespace
}  // namespace velmora::testing
