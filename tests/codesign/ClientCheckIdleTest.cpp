// A refused client still counts as a connection while it lasts: it holds off the idle exit, and its
// end arms the timer anew. Waits out the real delay.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/helper/ServiceTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;

TEST(ClientCheckIdle, RefusedClientRearmsTheIdleExit) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening()) << helper.log();
    auto started = std::chrono::steady_clock::now();
    TemporaryDirectory scratch;
    std::filesystem::copy_file(VELMORA_SHELL_TOOL, scratch.path() / "unsigned-shell");
    std::this_thread::sleep_for(30s);
    auto refused = runProcess(scratch.path() / "unsigned-shell", {"info", "--socket", helper.socketPath()});
    EXPECT_NE(refused.exitStatus, 0);
    auto status = helper.waitForExit(90s);
    auto lived = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << helper.log();
    EXPECT_GE(lived, 89s) << "the refused connection did not restart the idle delay";
    EXPECT_NE(helper.log().find("peer requirement not met"), std::string::npos) << helper.log();
}

}  // namespace
}  // namespace velmora::testing
