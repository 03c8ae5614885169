// The served helper's memory around a burst of connections that each ask for info.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "tests/helper/ServiceTestSupport.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_TEST_ASAN 1
#endif
#endif

namespace velmora::testing {
namespace {

constexpr int kConnections = 300;

double residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) return std::stod(line.substr(6));
    return -1;
}

platform::UniqueFd askInfo(const std::string& socket) {
    auto connection = rawConnect(socket);
    EXPECT_EQ(rawSend(connection.get(),
                      R"({"jsonrpc":"2.0","id":1,"method":"fetchHelperInfoWithReply:","params":[]})"),
              0);
    auto reply = rawReceive(connection.get());
    EXPECT_TRUE(reply && reply->contains("result")) << (reply ? reply->dump() : "no reply");
    return connection;
}

// Once the helper's descriptor table is back to `count`, it has taken in every close.
void waitForDescriptors(pid_t pid, size_t count) {
    for (int i = 0; i < 500 && descriptorCount(pid) > count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_LE(descriptorCount(pid), count);
}

TEST(ServiceMemory, AnOpenConnectionIsSmallAndABurstGivesItsMemoryBack) {
#ifdef VELMORA_TEST_ASAN
    GTEST_SKIP() << "the address sanitizer keeps freed memory in quarantine";
#endif
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening()) << helper.log();
    auto warmUp = askInfo(helper.socketPath());
    const size_t idleDescriptors = descriptorCount(helper.pid()) - 1;
    warmUp.reset();
    waitForDescriptors(helper.pid(), idleDescriptors);
    const double idle = residentKiB(helper.pid());

    for (int burst = 0; burst < 2; ++burst) {
        std::vector<platform::UniqueFd> open;
        for (int i = 0; i < kConnections; ++i) open.push_back(askInfo(helper.socketPath()));
        const double busy = residentKiB(helper.pid());
        EXPECT_LE((busy - idle) / kConnections, 16.0) << "KiB per open connection, idle " << idle << " KiB";
        open.clear();
        waitForDescriptors(helper.pid(), idleDescriptors);
        // The memory goes back once the last connection's end has been taken in.
        for (int i = 0; i < 500 && residentKiB(helper.pid()) - idle > 4096.0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_LE(residentKiB(helper.pid()) - idle, 4096.0) << "KiB kept after burst " << burst;
    }
}

}  // namespace
}  // namespace velmora::testing
