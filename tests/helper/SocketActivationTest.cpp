// The helper started by socket activation, as the service manager starts it.

#include <gtest/gtest.h>
#include <unistd.h>

#include "kit/HelperInfo.h"
#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

TEST(SocketActivation, InheritedSocketsAreServedWithoutBindingNewOnes) {
    // systemd-socket-activate binds both service names, waits for the first connection, then
    // execs the helper with the listening sockets and the service manager's variable.
    HelperProcess activator({"@activate", "--seqpacket", "-l", "@RUNTIME@/group.com.norwick.Velmora.helper",
                             "-l", "@RUNTIME@/group.com.norwick.Velmora.dev.helper", "-E",
                             "XPC_SERVICE_NAME=com.norwick.VelmoraHelper", "-E", "HOME", "-E",
                             "XDG_RUNTIME_DIR", HelperProcess::executable().string()});
    ASSERT_TRUE(activator.waitUntilListening()) << activator.log();
    auto client = ClientEnd::connect(activator.socketPath(1));
    ASSERT_TRUE(client);
    CallOutcome<kit::Blob> outcome;
    client->proxy(outcome)->fetchHelperInfo(outcome.reply());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.values()) << activator.log();
    auto info = kit::HelperInfo::decode(std::get<0>(*outcome.values()).value_or(""));
    ASSERT_TRUE(info);
    // The activator execs the helper in its own process.
    EXPECT_EQ(info->processIdentifier, activator.pid());
    auto log = activator.log();
    EXPECT_NE(log.find("service: Starting Velmora Helper"), std::string::npos) << log;
    EXPECT_NE(log.find("service: Accepted connection from pid=" + std::to_string(::getpid())),
              std::string::npos);

    // The other service name is served too, on its inherited socket.
    auto other = ClientEnd::connect(activator.socketPath(0));
    ASSERT_TRUE(other);
    CallOutcome<kit::Blob> again;
    other->proxy(again)->fetchHelperInfo(again.reply());
    ASSERT_TRUE(again.wait() && again.values());
}

}  // namespace
}  // namespace velmora::testing
