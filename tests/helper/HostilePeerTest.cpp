// The served helper facing peers that break the rules, over raw sockets.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

using nlohmann::json;
using platform::UniqueFd;
using namespace kit::xpc::rpc;

std::string request(const json& id, const std::string& method, const json& params = json::array()) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
}

class HostilePeer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(helper.waitUntilListening()) << helper.log();
        raw = rawConnect(helper.socketPath());
        ASSERT_TRUE(raw.valid());
    }
    json exchange(const std::string& packet, const std::vector<int>& fds = {}) {
        EXPECT_EQ(rawSend(raw.get(), packet, fds), 0);
        return rawReceive(raw.get()).value_or(json("<timeout>"));
    }
    static void expectError(const json& answer, const json& id, int code) {
        EXPECT_EQ(answer["id"], id) << answer.dump().substr(0, 300);
        EXPECT_EQ(answer["error"]["code"], code) << answer.dump().substr(0, 300);
    }
    // This connection and a new one still get answers.
    void expectStillServing() {
        EXPECT_TRUE(exchange(request(1000, "fetchHelperInfoWithReply:"))["result"].is_array());
        auto other = rawConnect(helper.socketPath());
        ASSERT_EQ(rawSend(other.get(), request(1, "fetchHelperInfoWithReply:")), 0);
        auto answer = rawReceive(other.get());
        EXPECT_TRUE(answer && (*answer)["result"].is_array());
    }
    HelperProcess helper;
    UniqueFd raw;
};

std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST_F(HostilePeer, MalformedMessagesGetErrorsAndTheConnectionGoesOn) {
    const std::string deep = nested(65000);  // within the packet limit, beyond recursion
    const std::string huge(200 * 1024, 'A');
    const std::string resize = "resizeShellWithProcessIdentifier:columns:rows:reply:";
    const std::tuple<std::string, json, int> cases[] = {
        {"{not json", nullptr, parseError},
        {R"({"jsonrpc":"2.0","id":6,"method":"fetchHelperInfoWithReply:","params":{}})", 6, invalidRequest},
        {request("abc", "noSuchMethod:"), "abc", methodNotFound},
        {request(8, "didVerify"), 8, methodNotFound},                                // a client-side method
        {request(42, "openShell:reply:", json::array({huge})), 42, invalidRequest},  // beyond 128 KiB
        {R"({"jsonrpc":"2.0","id":21,"method":"openShell:reply:","params":[)" + deep + "]}", 21, parseError},
        {R"({"jsonrpc":"2.0","id":null,"error":)" + deep + "}", nullptr, parseError},
        {request(23, "openShell:reply:", json::array({deep})), 23, invalidParams},
        {request(30, resize, json::array({1, 2})), 30, invalidParams},
        {request(31, resize, json::array({2147483648LL, 1, 1})), 31, invalidParams},
        {request(32, resize, json::array({1, 9223372036854775808ULL, 1})), 32, invalidParams},
        {request(34, "openShell:reply:", json::array({"QUJD="})), 34, invalidParams},
        {request(35, "openShell:reply:", json::array({json{{"fd", 0}}})), 35, invalidParams},
    };
    for (const auto& [packet, id, code] : cases) {
        SCOPED_TRACE(packet.substr(0, 100));
        expectError(exchange(packet), id, code);
    }
    expectStillServing();
    // Peers' errors are logged by their message only.
    ASSERT_EQ(rawSend(raw.get(), R"({"jsonrpc":"2.0","id":null,"error":{"code":1,"message":"unreadable",)"
                                 R"("data":"SECRET"}})"),
              0);
    expectStillServing();
    EXPECT_NE(helper.log().find("unreadable"), std::string::npos) << helper.log();
    EXPECT_EQ(helper.log().find("SECRET"), std::string::npos);
    EXPECT_EQ(helper.log().find("[[[["), std::string::npos);
}

TEST_F(HostilePeer, StrayDescriptorsAreClosedNotLeaked) {
    // One where none is expected, then more than a packet may carry.
    for (size_t count : {size_t{1}, kit::xpc::kMaxDescriptorsPerPacket * 3}) {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
        std::vector<UniqueFd> copies;
        std::vector<int> sent;
        for (size_t i = 0; i < count; ++i)
            sent.push_back(copies.emplace_back(::fcntl(writeEnd.get(), F_DUPFD_CLOEXEC, 0)).get());
        expectError(exchange(request(10, "fetchHelperInfoWithReply:"), sent), 10,
                    count == 1 ? invalidParams : invalidRequest);
        copies.clear();
        writeEnd.reset();
        EXPECT_TRUE(pipeReachesEnd(readEnd.get())) << count;  // only the helper's copies could hold it open
    }
    expectStillServing();
}

TEST_F(HostilePeer, ResponseToNothingOrNeverReadingEndsOnlyThatConnection) {
    ASSERT_EQ(rawSend(raw.get(), R"({"jsonrpc":"2.0","id":77,"result":[]})"), 0);
    EXPECT_TRUE(rawWaitForEnd(raw.get()));
    raw = rawConnect(helper.socketPath());
    // Bounded by time, not by sends: a slower helper lets fewer sends through in the same while.
    bool ended = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        int error = rawSend(raw.get(), request(1, "fetchHelperInfoWithReply:"), {}, MSG_DONTWAIT);
        if (error == EAGAIN) {
            pollfd poller{raw.get(), POLLOUT, 0};
            ::poll(&poller, 1, 50);
        }
        ended = error != 0 && error != EAGAIN;
    }
    EXPECT_TRUE(ended || rawWaitForEnd(raw.get(), std::chrono::seconds(60)));
    raw = rawConnect(helper.socketPath());
    expectStillServing();
}

TEST_F(HostilePeer, PeerOfAnotherUserIsAcceptedButNoCallIsDelivered) {
    // Let the other user reach the socket at all; the transport's own check is what is under test.
    for (const auto& directory : {helper.runtimeDirectory(), helper.runtimeDirectory().parent_path()})
        ASSERT_EQ(::chmod(directory.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(helper.socketPath().c_str(), 0666), 0);
    std::string path = helper.socketPath();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        auto socket = rawConnectUnadmitted(path);
        if (!socket.valid()) ::_exit(11);
        rawSend(socket.get(), request(1, "fetchHelperInfoWithReply:"));
        rawSend(socket.get(), request(2, "openShell:reply:", json::array({nullptr})));
        // The connection must end without a single answer.
        char buffer[4096];
        pollfd poller{socket.get(), POLLIN, 0};
        if (::poll(&poller, 1, 10000) <= 0) ::_exit(12);
        ::_exit(::read(socket.get(), buffer, sizeof buffer) <= 0 ? 0 : 13);  // ended, or reset
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(helper.log().find("peer runs as user 65534"), std::string::npos) << helper.log();
    expectStillServing();
}

TEST_F(HostilePeer, SignedClientWithAnonymousExecutableMemoryIsRefused) {
    const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    void* code = ::mmap(nullptr, size, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(code, MAP_FAILED);
    auto refused = rawConnect(helper.socketPath());
    ::munmap(code, size);
    EXPECT_FALSE(refused.valid());
    EXPECT_NE(helper.log().find("anonymous executable memory"), std::string::npos) << helper.log();
    expectStillServing();
}

}  // namespace
}  // namespace velmora::testing
