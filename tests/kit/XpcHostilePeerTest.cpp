// A well-behaved server process facing peers that break the rules, over raw sockets.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "tests/kit/XpcTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

using nlohmann::json;
using platform::UniqueFd;

std::string request(const json& id, const std::string& method, const json& params) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
}

class XpcHostilePeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<ServerProcess>(directory_.path(), "com.example.hostile",
                                                  std::vector<std::string>{}, -1, logPath());
        ASSERT_TRUE(server_->ready());
        raw_ = rawConnect(server_->socketPath());
        ASSERT_TRUE(raw_.valid());
    }

    // Sends one packet and returns the answer.
    json exchange(const std::string& packet, const std::vector<int>& fds = {}) {
        EXPECT_EQ(rawSend(raw_.get(), packet, fds), 0);
        auto answer = rawReceive(raw_.get());
        return answer.value_or(json("<timeout>"));
    }

    static void expectError(const json& answer, const json& id, int code) {
        ASSERT_TRUE(answer.is_object()) << answer.dump();
        EXPECT_EQ(answer["jsonrpc"], "2.0");
        EXPECT_EQ(answer["id"], id) << answer.dump();
        ASSERT_TRUE(answer.contains("error")) << answer.dump();
        EXPECT_EQ(answer["error"]["code"], code) << answer.dump();
        EXPECT_TRUE(answer["error"]["message"].is_string());
    }

    // The same raw connection still gets answers.
    void expectRawConnectionServes() {
        auto answer = exchange(request(1000, "fetchHelperInfoWithReply:", json::array()));
        ASSERT_TRUE(answer.is_object()) << answer.dump();
        EXPECT_EQ(answer["id"], 1000);
        ASSERT_TRUE(answer["result"].is_array());
        EXPECT_TRUE(answer["result"][0].is_string());
    }

    // A fresh library client still gets answers.
    void expectServerServesOthers() {
        auto client = ClientEnd::connect(server_->socketPath());
        ASSERT_TRUE(client);
        CallOutcome<kit::Blob> outcome;
        client->proxy(outcome)->fetchHelperInfo(outcome.reply());
        ASSERT_TRUE(outcome.wait());
        EXPECT_TRUE(outcome.values());
    }

    std::filesystem::path logPath() const { return directory_.path() / "server.log"; }

    TemporaryDirectory directory_;
    std::unique_ptr<ServerProcess> server_;
    UniqueFd raw_;
};

std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST_F(XpcHostilePeerTest, MalformedMessagesGetErrorsAndTheConnectionGoesOn) {
    using namespace kit::xpc::rpc;
    const std::string deepText = nested(65000);  // some 130 KB: within the packet limit, beyond recursion
    const std::string openShell = R"({"jsonrpc":"2.0","id":24,"method":"openShell:reply:","params":)";
    const std::string huge = std::string(200 * 1024, 'A');
    struct Case {
        std::string packet;
        json id;
        int code;
    };
    const Case cases[] = {
        {"{not json", nullptr, parseError},
        {R"({"jsonrpc":"2.0","id":5,"method":)", 5, parseError},
        {"[1,2,3]", nullptr, invalidRequest},
        {R"({"jsonrpc":"1.0","id":3,"method":"didVerify","params":[]})", 3, invalidRequest},
        {R"({"jsonrpc":"2.0","id":4,"method":7,"params":[]})", 4, invalidRequest},
        {R"({"jsonrpc":"2.0","id":6,"method":"fetchHelperInfoWithReply:","params":{}})", 6, invalidRequest},
        {request("abc", "noSuchMethod:", json::array()), "abc", methodNotFound},
        // A client-side method is not served by the helper.
        {request(8, "didVerify", json::array()), 8, methodNotFound},
        // An id that is no id is not echoed, and "result"/"error" do not pass it off as a response.
        {R"({"jsonrpc":"2.0","id":{"a":[1]},"method":"fetchHelperInfoWithReply:","params":[],"result":0})",
         nullptr, invalidRequest},
        {R"({"jsonrpc":"2.0","id":[7],"method":"fetchHelperInfoWithReply:","params":[],"error":{}})", nullptr,
         invalidRequest},
        // Oversized: answered with its id, unless that lies beyond the first 128 KiB.
        {request(42, "openShell:reply:", json::array({huge})), 42, invalidRequest},
        {R"({"jsonrpc":"2.0","method":"openShell:reply:","params":[")" + huge + R"("],"id":43})", nullptr,
         invalidRequest},
        // Deep nesting is unreadable, in params, method or a peer's error; inside a string it is only text.
        {R"({"jsonrpc":"2.0","id":21,"method":"openShell:reply:","params":[)" + deepText + "]}", 21,
         parseError},
        {R"({"jsonrpc":"2.0","id":"m","method":)" + deepText + R"(,"params":[]})", "m", parseError},
        {R"({"jsonrpc":"2.0","id":null,"error":)" + deepText + "}", nullptr, parseError},
        {request(23, "openShell:reply:", json::array({deepText})), 23, invalidParams},
        // 64 levels in all are still read (and refused only for not fitting the method); 65 are not.
        {openShell + nested(63) + "}", 24, invalidParams},
        {openShell + nested(64) + "}", 24, parseError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.packet.substr(0, 100));
        EXPECT_EQ(c.packet.size() > kit::xpc::kMaxPacketSize, c.packet.find(huge) != std::string::npos);
        expectError(exchange(c.packet), c.id, c.code);
    }
    expectRawConnectionServes();
    expectServerServesOthers();
    // The deep error was refused, not written out.
    EXPECT_EQ(readFile(logPath()).find("[[[["), std::string::npos);
}

TEST_F(XpcHostilePeerTest, WrongParameterCountsAndTypesAreRefused) {
    const json badParams[] = {
        json::array({1, 2}),
        json::array({1, 2, 3, 4}),
        json::array({1, 2, "3"}),
        json::array({2147483648LL, 1, 1}),
        json::array({-2147483649LL, 1, 1}),
        json::array({1.5, 1, 1}),
        json::array({1, 9223372036854775808ULL, 1}),
        json::array({1, true, 1}),
        json::array({nullptr, 1, 1}),
    };
    const json badBlobs[] = {json::array({nullptr}), json::array({"not base64!"}),
                             json::array({"QUJD="}), json::array({"QQ"}),
                             json::array({42}),      json::array({json{{"fd", 0}}})};
    int id = 100;
    for (const auto& params : badParams) {
        ++id;
        expectError(exchange(request(id, "resizeShellWithProcessIdentifier:columns:rows:reply:", params)), id,
                    kit::xpc::rpc::invalidParams);
    }
    for (const auto& params : badBlobs) {
        ++id;
        expectError(exchange(request(id, "openShell:reply:", params)), id, kit::xpc::rpc::invalidParams);
    }
    expectRawConnectionServes();
}

TEST_F(XpcHostilePeerTest, PeerErrorsAreLoggedByTheirMessageOnly) {
    if (std::filesystem::exists("/run/systemd/journal/socket"))
        GTEST_SKIP() << "the server logs to the journal here, not to its standard error";
    ASSERT_EQ(rawSend(raw_.get(), R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,)"
                                  R"("message":"could not read that","data":{"detail":"SECRET-1"}}})"),
              0);
    ASSERT_EQ(rawSend(raw_.get(), R"({"jsonrpc":"2.0","id":null,"error":{"code":1,"message":["SECRET-2"]}})"),
              0);
    ASSERT_EQ(rawSend(raw_.get(), R"({"jsonrpc":"2.0","id":null,"error":"SECRET-3"})"), 0);
    // Answered after the three, so they have been handled by now; none of them gets an answer.
    expectRawConnectionServes();
    std::string log = readFile(logPath());
    EXPECT_NE(log.find("could not read that"), std::string::npos) << log;
    EXPECT_EQ(log.find("SECRET"), std::string::npos) << log;
}

TEST_F(XpcHostilePeerTest, StrayDescriptorsAreClosedNotLeaked) {
    // One where none is expected, then more than a packet may carry.
    for (size_t count : {size_t{1}, kit::xpc::kMaxDescriptorsPerPacket * 3}) {
        SCOPED_TRACE(count);
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
        std::vector<UniqueFd> copies;
        std::vector<int> raw;
        for (size_t i = 0; i < count; ++i) {
            copies.emplace_back(::fcntl(writeEnd.get(), F_DUPFD_CLOEXEC, 0));
            raw.push_back(copies.back().get());
        }
        expectError(exchange(request(10, "fetchHelperInfoWithReply:", json::array()), raw), 10,
                    count == 1 ? kit::xpc::rpc::invalidParams : kit::xpc::rpc::invalidRequest);
        copies.clear();
        writeEnd.reset();
        // Only the server's copies could keep the pipe open now.
        EXPECT_TRUE(pipeReachesEnd(readEnd.get()));
    }
    expectRawConnectionServes();
}

TEST_F(XpcHostilePeerTest, ResponseToNothingEndsTheConnection) {
    ASSERT_EQ(rawSend(raw_.get(), R"({"jsonrpc":"2.0","id":77,"result":[]})"), 0);
    EXPECT_TRUE(rawWaitForEnd(raw_.get()));
    expectServerServesOthers();
}

TEST_F(XpcHostilePeerTest, PeerThatNeverReadsIsEndedWithoutStallingOthers) {
    std::string call = request(1, "fetchHelperInfoWithReply:", json::array());
    bool ended = false;
    for (int i = 0; i < 20000 && !ended; ++i) {
        int error = rawSend(raw_.get(), call, {}, MSG_DONTWAIT);
        if (error == EAGAIN) {
            pollfd poller{raw_.get(), POLLOUT, 0};
            ::poll(&poller, 1, 50);
            // Meanwhile the server keeps serving everyone else.
            if (i % 500 == 0) expectServerServesOthers();
        } else if (error != 0) {
            ended = true;
        }
    }
    EXPECT_TRUE(ended || rawWaitForEnd(raw_.get()));
    expectServerServesOthers();
}

TEST_F(XpcHostilePeerTest, PeerDisconnectingMidCallDoesNotHurtTheServer) {
    for (int i = 0; i < 5; ++i) {
        auto raw = rawConnect(server_->socketPath());
        ASSERT_EQ(
            rawSend(raw.get(), request(1, "beginSelfUpdateWithManifestJSON:reply:", json::array({"e30="}))),
            0);
        ASSERT_EQ(rawSend(raw.get(), request(2, "openShell:reply:", json::array({"aGk="}))), 0);
    }
    // The late replies go to connections that have gone.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    expectServerServesOthers();
    expectRawConnectionServes();
}

TEST_F(XpcHostilePeerTest, PeerOfAnotherUserIsAcceptedButNoCallIsDelivered) {
    // Let the other user reach the socket at all; the transport's own check is what is under test.
    ASSERT_EQ(::chmod(directory_.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(server_->socketPath().c_str(), 0666), 0);
    auto before = exchange(request(1, "fetchHelperInfoWithReply:", json::array()));
    ASSERT_TRUE(before["result"].is_array());
    auto countOf = [](const json& answer) {
        auto info = json::parse(*kit::xpc::base64Decode(answer["result"][0].get<std::string>()));
        return info["deliveredCalls"].get<int>();
    };
    int callsBefore = countOf(before);

    std::string path = server_->socketPath();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls from here on.
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        auto socket = rawConnect(path);
        if (!socket.valid()) ::_exit(11);
        rawSend(socket.get(), request(1, "fetchHelperInfoWithReply:", json::array()));
        rawSend(socket.get(), request(2, "closeShellWithProcessIdentifier:reply:", json::array({1})));
        // The connection must end without a single answer.
        char buffer[4096];
        pollfd poller{socket.get(), POLLIN, 0};
        if (::poll(&poller, 1, 10000) <= 0) ::_exit(12);
        ssize_t length = ::recv(socket.get(), buffer, sizeof buffer, 0);
        // The end shows as end of file, or as a reset when our unread calls were discarded with it.
        ::_exit(length == 0 || (length < 0 && errno == ECONNRESET) ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "10: could not drop privileges, 11: connect failed, 12: not ended, 13: answered";

    auto after = exchange(request(2, "fetchHelperInfoWithReply:", json::array()));
    ASSERT_TRUE(after["result"].is_array());
    EXPECT_EQ(countOf(after), callsBefore + 1);  // only this call of ours
}

}  // namespace
}  // namespace velmora::testing
