// The library on both ends, in separate processes, over real sockets.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <limits>
#include <thread>

#include "tests/kit/XpcTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

using kit::Blob;
using kit::xpc::ConnectionError;

class XpcRoundTripTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<ServerProcess>(directory_.path(), "com.example.roundtrip");
        ASSERT_TRUE(server_->ready());
        auto client = ClientEnd::connect(server_->socketPath());
        ASSERT_TRUE(client);
        client_ = std::move(*client);
    }

    // One fetch, to show that the connection still answers (and that everything sent before has
    // been handled, since one connection's messages are handled in order).
    std::string fetchInfo() {
        CallOutcome<Blob> outcome;
        client_.proxy(outcome)->fetchHelperInfo(outcome.reply());
        if (!outcome.wait() || !outcome.values()) return "<no reply>";
        return std::get<0>(*outcome.values()).value_or("<null>");
    }

    TemporaryDirectory directory_;
    std::unique_ptr<ServerProcess> server_;
    ClientEnd client_;
};

TEST_F(XpcRoundTripTest, IntegersCrossAtTheirFullWidths) {
    struct Case {
        std::int32_t pid;
        std::int64_t columns, rows;
    };
    const Case cases[] = {
        {INT32_MIN, INT64_MAX, INT64_MIN},
        {INT32_MAX, INT64_MIN, INT64_MAX},
        {0, -1, 0},
    };
    size_t expectedEvents = 0;
    for (const auto& c : cases) {
        CallOutcome<bool> outcome;
        client_.proxy(outcome)->resizeShell(c.pid, c.columns, c.rows, outcome.reply());
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.values()) << outcome.error()->description;
        EXPECT_EQ(std::get<0>(*outcome.values()), c.columns > c.rows);
        // The server echoed the arguments as notifications before replying.
        expectedEvents += 3;
        auto events = client_.recorder->waitFor(expectedEvents);
        ASSERT_EQ(events.size(), expectedEvents);
        std::string pid = std::to_string(c.pid);
        EXPECT_EQ(events[expectedEvents - 3], "start " + std::to_string(c.columns));
        EXPECT_EQ(events[expectedEvents - 2], "download " + std::to_string(c.rows));
        EXPECT_EQ(events[expectedEvents - 1], "exit " + pid + " " + pid + " " + pid);
    }

    CallOutcome<bool> signal;
    client_.proxy(signal)->signalShell(INT32_MIN, INT32_MAX, signal.reply());
    ASSERT_TRUE(signal.wait());
    ASSERT_TRUE(signal.values());
    EXPECT_TRUE(std::get<0>(*signal.values()));
    EXPECT_EQ(client_.recorder->waitFor(expectedEvents + 1).back(), "exit " + std::to_string(INT32_MIN) +
                                                                        " " + std::to_string(INT32_MAX) +
                                                                        " " + std::to_string(INT32_MAX));
}

TEST_F(XpcRoundTripTest, BlobsAndTerminalHandlesCrossIntact) {
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    const std::string blobs[] = {"", "a", "ab", "abc", binary, std::string(90 * 1024, '\0'), R"({"k":"v"})"};
    for (const auto& blob : blobs) {
        // The terminal's pipe carries the request back too, so the descriptor is checked with it.
        CallOutcome<platform::UniqueFd, Blob> outcome;
        client_.proxy(outcome)->openShell(blob, outcome.reply());
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.values()) << outcome.error()->description;
        auto& [terminal, response] = *outcome.values();
        EXPECT_EQ(response, Blob(blob));
        if (blob.empty()) continue;
        ASSERT_TRUE(terminal.valid());
        EXPECT_NE(::fcntl(terminal.get(), F_GETFD) & FD_CLOEXEC, 0);
        std::string piped;
        char buffer[65536];
        ssize_t length;
        while ((length = ::read(terminal.get(), buffer, sizeof buffer)) > 0) piped.append(buffer, length);
        EXPECT_EQ(piped, blob.substr(0, 32 * 1024));
    }
    CallOutcome<platform::UniqueFd, Blob> none;
    client_.proxy(none)->openShell(std::string("no-terminal"), none.reply());
    ASSERT_TRUE(none.wait());
    ASSERT_TRUE(none.values());
    EXPECT_FALSE(std::get<0>(*none.values()).valid());
    EXPECT_EQ(std::get<1>(*none.values()), std::nullopt);
}

TEST_F(XpcRoundTripTest, FailedCallsAreAnsweredOnceAndTheConnectionGoesOn) {
    // Too large for one packet: fails before sending.
    CallOutcome<platform::UniqueFd, Blob> large;
    client_.proxy(large)->openShell(std::string(100 * 1024, 'x'), large.reply());
    ASSERT_TRUE(large.wait());
    ASSERT_TRUE(large.error());
    EXPECT_EQ(large.error()->kind, ConnectionError::Kind::sendFailed);
    EXPECT_EQ(large.error()->code, EMSGSIZE);
    // The server drops its reply without calling it.
    CallOutcome<> close;
    client_.proxy(close)->closeShell(-2, close.reply());
    ASSERT_TRUE(close.wait());
    ASSERT_TRUE(close.error());
    EXPECT_FALSE(close.values());
    EXPECT_EQ(close.error()->kind, ConnectionError::Kind::remoteError);
    EXPECT_EQ(close.error()->code, kit::xpc::rpc::internalError);
    EXPECT_NE(close.error()->description.find("closeShellWithProcessIdentifier:reply:"), std::string::npos);
    EXPECT_NE(fetchInfo(), "<no reply>");
    EXPECT_EQ(large.completions(), 1);
    EXPECT_EQ(close.completions(), 1);
}

TEST_F(XpcRoundTripTest, NullAndEmptyRepliesAndBareCompletions) {
    CallOutcome<Blob> uninstall;
    client_.proxy(uninstall)->beginUninstall(uninstall.reply());
    CallOutcome<> cancel;
    client_.proxy(cancel)->cancelSelfUpdate(cancel.reply());
    CallOutcome<> close;
    client_.proxy(close)->closeShell(1234, close.reply());
    ASSERT_TRUE(uninstall.wait() && cancel.wait() && close.wait());
    ASSERT_TRUE(uninstall.values());
    EXPECT_EQ(std::get<0>(*uninstall.values()), std::nullopt);
    EXPECT_TRUE(cancel.values());
    EXPECT_TRUE(close.values());
    // And a proxy for the wrong protocol is refused.
    EXPECT_EQ(client_.connection->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperClientXPCProtocol>({}),
              nullptr);
}

TEST_F(XpcRoundTripTest, LateReplyFromAnotherThreadFollowsItsNotificationsInOrder) {
    const std::string manifest = R"({"version":"9.9.9"})";
    CallOutcome<Blob> update;
    client_.proxy(update)->beginSelfUpdate(manifest, update.reply());
    CallOutcome<Blob> empty;
    client_.proxy(empty)->beginSelfUpdate(std::string("{}"), empty.reply());
    ASSERT_TRUE(update.wait() && empty.wait());
    ASSERT_TRUE(update.values() && empty.values());
    EXPECT_EQ(std::get<0>(*update.values()), Blob(manifest));
    EXPECT_EQ(std::get<0>(*empty.values()), std::nullopt);

    auto events = client_.recorder->waitFor(8);
    ASSERT_EQ(events.size(), 8U);
    // Each update's four events arrive in the order sent; the two updates may interleave.
    auto ordered = [&](const std::string& failEvent) {
        std::vector<std::string> seen;
        for (const auto& event : events)
            if (event == failEvent || (event != "fail {}" && event != "fail " + manifest))
                seen.push_back(event);
        // Subsequence check: verify < stage < restart < this fail.
        auto position = [&](const std::string& e) {
            return std::find(seen.begin(), seen.end(), e) - seen.begin();
        };
        return position("verify") < position("stage") && position("stage") < position("restart") &&
               position("restart") < position(failEvent);
    };
    EXPECT_TRUE(ordered("fail " + manifest));
    EXPECT_TRUE(ordered("fail {}"));
    EXPECT_EQ(update.completions(), 1);
    EXPECT_EQ(empty.completions(), 1);
}

TEST_F(XpcRoundTripTest, RepliesComeExactlyOnceUnderConcurrentCallers) {
    constexpr int kThreads = 4, kCallsEach = 50;
    std::vector<std::unique_ptr<CallOutcome<bool>>> outcomes;
    for (int i = 0; i < kThreads * kCallsEach; ++i) outcomes.push_back(std::make_unique<CallOutcome<bool>>());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCallsEach; ++i) {
                auto& outcome = *outcomes[t * kCallsEach + i];
                client_.proxy(outcome)->signalShell(i, t, outcome.reply());
            }
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kCallsEach; ++i) {
            auto& outcome = *outcomes[t * kCallsEach + i];
            ASSERT_TRUE(outcome.wait());
            ASSERT_TRUE(outcome.values());
            EXPECT_EQ(std::get<0>(*outcome.values()), i < t);
        }
    EXPECT_NE(fetchInfo(), "<no reply>");
    for (auto& outcome : outcomes) EXPECT_EQ(outcome->completions(), 1);
}

TEST_F(XpcRoundTripTest, ServerDeathFailsEveryOutstandingCallOnceAndEndsTheConnectionOnce) {
    CallOutcome<Blob> slow;
    client_.proxy(slow)->beginSelfUpdate(std::string("{}"), slow.reply());
    CallOutcome<> fatal;
    client_.proxy(fatal)->closeShell(-1, fatal.reply());
    ASSERT_TRUE(slow.wait() && fatal.wait());
    ASSERT_TRUE(fatal.error());
    EXPECT_EQ(fatal.error()->kind, ConnectionError::Kind::invalidated);
    ASSERT_TRUE(slow.error());
    EXPECT_EQ(slow.error()->kind, ConnectionError::Kind::invalidated);
    EXPECT_EQ(client_.ends->waitForAtLeast(1), 1);
    EXPECT_EQ(client_.ends->last(), "interruption");

    // Calls after the end fail at once.
    CallOutcome<Blob> late;
    client_.proxy(late)->fetchHelperInfo(late.reply());
    ASSERT_TRUE(late.wait());
    ASSERT_TRUE(late.error());
    EXPECT_EQ(late.error()->kind, ConnectionError::Kind::invalidated);
    EXPECT_FALSE(client_.connection->isValid());

    EXPECT_EQ(slow.completions(), 1);
    EXPECT_EQ(fatal.completions(), 1);
    EXPECT_EQ(client_.ends->count(), 1);
    EXPECT_TRUE(WIFEXITED(server_->wait()));
}

TEST_F(XpcRoundTripTest, LocalInvalidationFailsOutstandingCallsAndRunsTheInvalidationHandler) {
    CallOutcome<Blob> slow;
    client_.proxy(slow)->beginSelfUpdate(std::string("{}"), slow.reply());
    client_.connection->invalidate();
    client_.connection->invalidate();
    ASSERT_TRUE(slow.wait());
    ASSERT_TRUE(slow.error());
    EXPECT_EQ(client_.ends->waitForAtLeast(1), 1);
    EXPECT_EQ(client_.ends->last(), "invalidation");
    EXPECT_EQ(slow.completions(), 1);
}

}  // namespace
}  // namespace velmora::testing
