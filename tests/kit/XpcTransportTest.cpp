// The transport on its own: the library on both ends (the echo server in its own process), replies
// that are misused, and the listener's socket file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <future>
#include <thread>

#include "kit/xpc/Listener.h"
#include "kit/xpc/PlainJson.h"
#include "tests/kit/XpcTestSupport.h"
#include "tests/support/SameJson.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

using kit::Blob;
using kit::xpc::ConnectionError;
using nlohmann::json;
using platform::UniqueFd;

class XpcTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.ready());
        auto connected = ClientEnd::connect(server.socketPath());
        ASSERT_TRUE(connected);
        client = std::move(*connected);
    }
    TemporaryDirectory directory;
    ServerProcess server{directory.path(), "com.example.transport"};
    ClientEnd client;
};

TEST_F(XpcTransport, ValuesAndHandlesCrossIntact) {
    CallOutcome<bool> resize;
    client.proxy(resize)->resizeShell(INT32_MIN, INT64_MAX, INT64_MIN, resize.reply());
    ASSERT_TRUE(resize.wait() && resize.values());
    EXPECT_TRUE(std::get<0>(*resize.values()));
    // The server echoes the arguments as notifications before it replies.
    std::string pid = std::to_string(INT32_MIN);
    EXPECT_EQ(client.recorder->waitFor(3), (std::vector<std::string>{"start " + std::to_string(INT64_MAX),
                                                                     "download " + std::to_string(INT64_MIN),
                                                                     "exit " + pid + " " + pid + " " + pid}));
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    for (const auto& blob : {std::string("a"), binary, std::string(90 * 1024, '\0')}) {
        // The handle is a pipe holding the request's first 32 KiB.
        CallOutcome<UniqueFd, Blob> outcome;
        client.proxy(outcome)->openShell(blob, outcome.reply());
        ASSERT_TRUE(outcome.wait() && outcome.values());
        auto& [handle, echoed] = *outcome.values();
        EXPECT_EQ(echoed, Blob(blob));
        ASSERT_TRUE(handle.valid());
        EXPECT_NE(::fcntl(handle.get(), F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(readFile("/proc/self/fd/" + std::to_string(handle.get())), blob.substr(0, 32 * 1024));
    }
    // Too large for one packet: fails here, once, and the connection goes on.
    CallOutcome<UniqueFd, Blob> large;
    client.proxy(large)->openShell(std::string(130 * 1024, 'x'), large.reply());
    ASSERT_TRUE(large.wait() && large.error());
    EXPECT_EQ(large.error()->code, EMSGSIZE);
    CallOutcome<> dropped;  // the server drops this reply without calling it
    client.proxy(dropped)->closeShell(-2, dropped.reply());
    ASSERT_TRUE(dropped.wait() && dropped.error());
    EXPECT_EQ(dropped.error()->kind, ConnectionError::Kind::remoteError);
    // Answered in order: a second answer to either call would have come before this one.
    CallOutcome<Blob> later;
    client.proxy(later)->fetchHelperInfo(later.reply());
    ASSERT_TRUE(later.wait());
    EXPECT_EQ(large.completions() + dropped.completions(), 2);
}

TEST_F(XpcTransport, ServerDeathFailsEveryOutstandingCallOnceAndEndsTheConnectionOnce) {
    CallOutcome<Blob> pending;  // answered only after 50 ms, by then the server is gone
    client.proxy(pending)->beginSelfUpdate(std::string("{}"), pending.reply());
    CallOutcome<> fatal;
    client.proxy(fatal)->closeShell(-1, fatal.reply());
    ASSERT_TRUE(fatal.wait() && pending.wait());
    EXPECT_TRUE(fatal.error() && pending.error());
    EXPECT_EQ(client.ends->waitForAtLeast(1), 1);
    EXPECT_EQ(client.ends->last(), "interruption");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(fatal.completions() + pending.completions() + client.ends->count(), 3);
}

// Served in this process: a handler that holds its thread holds up its own connection only.
class HoldingInfo final : public kit::VelmoraHelperXPCProtocol {
  public:
    std::promise<void> entered, release;
    std::atomic<bool> holdNext{true};
    void fetchHelperInfo(kit::Reply<Blob> reply) override {
        if (holdNext.exchange(false)) {
            entered.set_value();
            release.get_future().wait();
        }
        reply(std::string("info"));
    }
    void openShell(Blob, kit::Reply<UniqueFd, Blob> reply) override { reply({}, {}); }
    void resizeShell(std::int32_t, std::int64_t, std::int64_t, kit::Reply<bool> reply) override {
        reply(false);
    }
    void signalShell(std::int32_t, std::int32_t, kit::Reply<bool> reply) override { reply(false); }
    void closeShell(std::int32_t, kit::Reply<> reply) override { reply(); }
    void beginSelfUpdate(Blob, kit::Reply<Blob> reply) override { reply({}); }
    void cancelSelfUpdate(kit::Reply<> reply) override { reply(); }
    void beginUninstall(kit::Reply<Blob> reply) override { reply({}); }
};

TEST(XpcConnections, AHandlerThatHoldsItsThreadHoldsUpOnlyItsOwnConnection) {
    auto served = std::make_shared<HoldingInfo>();
    std::vector<std::shared_ptr<kit::xpc::Connection>> ends;
    for (int i = 0; i < 4; ++i) {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        auto server = kit::xpc::Connection::adopt(UniqueFd(pair[0]));
        auto client = kit::xpc::Connection::adopt(UniqueFd(pair[1]));
        ASSERT_TRUE(server && client);
        (*server)->setExportedInterface(kit::VelmoraHelperXPCInterface::helperInterface());
        (*server)->setExportedObject<kit::VelmoraHelperXPCProtocol>(served);
        (*client)->setRemoteObjectInterface(kit::VelmoraHelperXPCInterface::helperInterface());
        for (auto& end : {*server, *client}) end->resume(), ends.push_back(end);
    }
    std::array<CallOutcome<Blob>, 4> outcomes;
    auto call = [&](size_t i) {
        ends[2 * i + 1]
            ->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperXPCProtocol>(outcomes[i].errorHandler())
            ->fetchHelperInfo(outcomes[i].reply());
    };
    call(0);
    ASSERT_EQ(served->entered.get_future().wait_for(kWait), std::future_status::ready);
    for (size_t i = 1; i < 4; ++i) {
        call(i);
        ASSERT_TRUE(outcomes[i].wait() && outcomes[i].values()) << i;
    }
    EXPECT_EQ(outcomes[0].completions(), 0);
    served->release.set_value();
    ASSERT_TRUE(outcomes[0].wait() && outcomes[0].values());
    EXPECT_EQ(std::get<0>(*outcomes[0].values()), Blob("info"));
    for (auto& end : ends) end->invalidate();
}

TEST(XpcPlainJson, ReadsPlainPacketsAsTheParserDoesAndLeavesTheRestToIt) {
    for (std::string_view text :
         {R"({"jsonrpc":"2.0","id":7,"method":"closeShellWithIdentifier:reply:","params":[12]})",
          R"({"jsonrpc":"2.0","id":"x","result":["eyJ2ZXJzaW9uIjoiMS40LjAifQ==",true,null,false]})",
          " { \"a\" : [ -0 , -12 , 0 , 999999999999999999 , [ ] , { } ] }\n", "[]", "{}", "\"\""}) {
        auto plain = kit::xpc::parsePlainJson(text);
        ASSERT_TRUE(plain) << text;
        EXPECT_TRUE(sameDocument(*plain, json::parse(text))) << text;
    }
    for (std::string_view text :
         {R"({"a":"\n"})", "{\"a\":\"\xC3\xA9\"}", R"({"a":1.5})", R"({"a":1e3})", R"({"a":01})",
          R"({"a":1000000000000000000})", R"({"a":1,"a":2})", R"([[[[[[[[[1]]]]]]]]])", R"({"a":1,})",
          R"({"a":tru})", R"([1 2])", R"({"a":1}x)", "", "\"\x7f\""})
        EXPECT_FALSE(kit::xpc::parsePlainJson(text)) << text;
}

TEST(XpcReply, SecondInvocationIsReportedAndIgnored) {
    std::vector<std::string> reports;
    kit::xpc::setReplyMisuseObserverForTesting(
        [&](std::string_view message) { reports.emplace_back(message); });
    int calls = 0;
    {
        kit::Reply<int> reply([&](int value) { calls += value; }, "x:");
        auto moved = std::move(reply);
        moved(2);
        EXPECT_FALSE(moved.pending());
        moved(3);
    }
    kit::xpc::setReplyMisuseObserverForTesting(nullptr);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(reports.size(), 1U);
}

TEST(XpcListener, SocketIsPrivateAndOnlyAStaleOneIsReplaced) {
    TemporaryDirectory directory;
    ASSERT_EQ(::chmod(directory.path().c_str(), 0755), 0);  // others could reach a socket in it
    auto exposed = kit::xpc::Listener::bindService(directory.path(), "svc");
    ASSERT_FALSE(exposed);
    EXPECT_EQ(exposed.error().kind, kit::xpc::ListenerError::Kind::unsafeDirectory);
    ASSERT_EQ(::chmod(directory.path().c_str(), 0700), 0);
    const auto path = directory.path() / "svc";
    {
        auto dead =
            kit::xpc::Listener::bindService(directory.path(), "svc");  // dies without removing its file
        ASSERT_TRUE(dead);
        (*dead)->invalidate();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(std::filesystem::exists(path));
    auto replacement = kit::xpc::Listener::bindService(directory.path(), "svc");
    ASSERT_TRUE(replacement) << replacement.error().description();
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600U);

    auto thief = kit::xpc::Listener::bindService(directory.path(), "svc");
    ASSERT_FALSE(thief);
    EXPECT_EQ(thief.error().kind, kit::xpc::ListenerError::Kind::alreadyServing);
    EXPECT_TRUE(rawConnectUnadmitted(path).valid());
    writeFile(directory.path() / "plain", "not a socket");
    EXPECT_FALSE(kit::xpc::Listener::bindService(directory.path(), "plain"));
    EXPECT_EQ(readFile(directory.path() / "plain"), "not a socket");
}

TEST(XpcListener, OfTwoServersStartedAtOnceExactlyOneServes) {
    TemporaryDirectory directory;
    // Later rounds also race over the socket file the previous winner left behind.
    for (int round = 0; round < 100; ++round) {
        std::atomic<int> ready{0};
        std::shared_ptr<kit::xpc::Listener> bound[2];
        std::optional<kit::xpc::ListenerError::Kind> refused[2];
        auto race = [&](int i) {
            for (++ready; ready.load() < 2;) {
            }
            auto listener = kit::xpc::Listener::bindService(directory.path(), "svc");
            if (listener) bound[i] = *listener;
            if (!listener) refused[i] = listener.error().kind;
        };
        std::thread other(race, 0);
        race(1);
        other.join();
        ASSERT_NE(bound[0] == nullptr, bound[1] == nullptr) << "round " << round;
        EXPECT_EQ(refused[bound[0] ? 1 : 0], kit::xpc::ListenerError::Kind::alreadyServing);
        EXPECT_TRUE(rawConnectUnadmitted((directory.path() / "svc").string()).valid());
    }
}

}  // namespace
}  // namespace velmora::testing
