// The installed agent's idle exit under a real user manager: waits out the real 60 s ("slow").

#include <gtest/gtest.h>
#include <signal.h>

#include "kit/ShellMessages.h"
#include "tests/helper/ServiceTestSupport.h"
#include "tests/helper/UserManagerSupport.h"

namespace velmora::testing {
namespace {

TEST(InstalledAgent, IdleExitKeepsTheSocketListeningAndANohupJobAlive) {
    UserManager user;
    if (!user.ready) GTEST_SKIP() << "needs root for a private mount namespace";
    ASSERT_EQ(user.run(VELMORA_HELPER_EXECUTABLE, {"--install"}).exitStatus, 0);
    auto client = ClientEnd::connect(user.runtime / "group.com.norwick.Velmora.helper");
    ASSERT_TRUE(client);
    kit::ShellLaunchRequest request{.columns = 80, .rows = 24, .shellPath = "/bin/sh"};
    CallOutcome<platform::UniqueFd, kit::Blob> opened;
    client->proxy(opened)->openShell(*request.encoded(), opened.reply());
    ASSERT_TRUE(opened.wait() && opened.values());
    int terminal = std::get<0>(*opened.values()).get();
    writeAll(terminal, "nohup sleep 600 >/dev/null 2>&1 & echo job=$!-$((40+2))\n");
    auto seen = readUntil(terminal, "-42");
    pid_t job = std::atoi(seen.substr(seen.rfind("job=") + 4).c_str()), helper = user.helperPid();
    ASSERT_GT(job, 0) << seen;

    // The connection ends and its shell is hung up; a minute later the helper leaves by itself.
    client->connection->invalidate();
    EXPECT_TRUE(waitForProcessGone(helper, std::chrono::seconds(90)));
    EXPECT_FALSE(waitForProcessGone(job, std::chrono::milliseconds(0))) << "the nohup job was ended";
    pid_t next = user.infoPid("group.com.norwick.Velmora.dev.helper");
    EXPECT_GT(next, 0);
    EXPECT_NE(next, helper);
    ::kill(job, SIGKILL);
}

}  // namespace
}  // namespace velmora::testing
