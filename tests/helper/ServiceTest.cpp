// The helper started for real as a separate process, driven through the kit's client side.

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "kit/HelperInfo.h"
#include "kit/ShellMessages.h"
#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

using kit::Blob;
using platform::UniqueFd;

struct OpenedShell {
    UniqueFd terminal;
    kit::ShellLaunchResponse response;
};

kit::ShellLaunchRequest shRequest(std::string shell = "/bin/sh") {
    kit::ShellLaunchRequest request;
    request.columns = 80;
    request.rows = 24;
    request.shellPath = std::move(shell);
    request.loginShell = false;
    request.environment = {{"PS1", "$ "}};
    return request;
}

class Service : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(helper.waitUntilListening()) << helper.log(); }

    ClientEnd connect() {
        auto client = ClientEnd::connect(helper.socketPath());
        EXPECT_TRUE(client.has_value());
        return std::move(*client);
    }

    static std::optional<OpenedShell> open(ClientEnd& client, const std::optional<std::string>& blob) {
        CallOutcome<UniqueFd, Blob> outcome;
        client.proxy(outcome)->openShell(blob, outcome.reply());
        if (!outcome.wait() || !outcome.values()) return std::nullopt;
        auto& [fd, json] = *outcome.values();
        auto response = kit::ShellLaunchResponse::decode(json.value_or(""));
        if (!response) return std::nullopt;
        return OpenedShell{std::move(fd), *response};
    }
    static std::optional<OpenedShell> open(ClientEnd& client, const kit::ShellLaunchRequest& request) {
        return open(client, *request.encoded());
    }
    static std::optional<bool> resize(ClientEnd& client, std::int32_t pid, std::int64_t columns,
                                      std::int64_t rows) {
        CallOutcome<bool> outcome;
        client.proxy(outcome)->resizeShell(pid, columns, rows, outcome.reply());
        if (!outcome.wait() || !outcome.values()) return std::nullopt;
        return std::get<0>(*outcome.values());
    }
    static std::optional<bool> signal(ClientEnd& client, std::int32_t pid, std::int32_t number) {
        CallOutcome<bool> outcome;
        client.proxy(outcome)->signalShell(pid, number, outcome.reply());
        if (!outcome.wait() || !outcome.values()) return std::nullopt;
        return std::get<0>(*outcome.values());
    }
    static bool close(ClientEnd& client, std::int32_t pid) {
        CallOutcome<> outcome;
        client.proxy(outcome)->closeShell(pid, outcome.reply());
        return outcome.wait() && outcome.values().has_value();
    }
    // Runs a command in the shell and returns what it printed up to `marker`.
    static std::string run(OpenedShell& shell, const std::string& command, const std::string& marker) {
        writeAll(shell.terminal.get(), command + "; echo " + marker + "-$((40+2))\n");
        return readUntil(shell.terminal.get(), marker + "-42");
    }

    HelperProcess helper;
};

TEST_F(Service, InfoDescribesTheHelperItselfAndTheAccount) {
    auto client = connect();
    CallOutcome<Blob> outcome;
    client.proxy(outcome)->fetchHelperInfo(outcome.reply());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.values());
    auto info = kit::HelperInfo::decode(std::get<0>(*outcome.values()).value_or(""));
    ASSERT_TRUE(info) << info.error().description;
    EXPECT_EQ(info->processIdentifier, helper.pid());
    EXPECT_NE(info->processIdentifier, ::getpid());
    EXPECT_EQ(info->protocolVersion, 2);
    EXPECT_EQ(info->version.description(), VELMORA_PROJECT_VERSION);
    EXPECT_EQ(info->build, VELMORA_BUILD_NUMBER);
    EXPECT_EQ(std::filesystem::canonical(info->bundlePath), std::filesystem::canonical(VELMORA_BUNDLE_DIR));
    passwd* account = ::getpwuid(::getuid());
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(info->userName, account->pw_name);
    EXPECT_EQ(info->loginShell, account->pw_shell);
    EXPECT_NE(helper.log().find("service: Starting Velmora Helper " + std::string(VELMORA_PROJECT_VERSION) +
                                " (" + std::to_string(VELMORA_BUILD_NUMBER) +
                                "), protocol 2 pid=" + std::to_string(helper.pid()) + "\n"),
              std::string::npos)
        << helper.log();
    EXPECT_NE(helper.log().find("service: Accepted connection from pid=" + std::to_string(::getpid())),
              std::string::npos);
}

TEST_F(Service, ShellIsTypedIntoResizedSignalledAndReported) {
    auto client = connect();
    auto shell = open(client, shRequest());
    ASSERT_TRUE(shell);
    ASSERT_FALSE(shell->response.failure) << *shell->response.failure;
    ASSERT_TRUE(shell->terminal.valid());
    std::int32_t pid = shell->response.processIdentifier;
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(shell->response.ttyPath.starts_with("/dev/pts/")) << shell->response.ttyPath;
    EXPECT_EQ(shell->response.shellPath, "/bin/sh");
    // The account's home, from the account database.
    EXPECT_EQ(shell->response.workingDirectory, ::getpwuid(::getuid())->pw_dir);
    EXPECT_EQ(childProcesses(helper.pid()), std::vector<pid_t>{pid});

    EXPECT_NE(run(*shell, "echo typed", "done").find("typed"), std::string::npos);
    EXPECT_NE(run(*shell, "stty size", "size").find("24 80"), std::string::npos);
    EXPECT_EQ(resize(client, pid, 132, 43), true);
    EXPECT_NE(run(*shell, "stty size", "resized").find("43 132"), std::string::npos);

    EXPECT_EQ(signal(client, pid, SIGKILL), true);
    auto events = client.recorder->waitFor(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "exit " + std::to_string(pid) + " -1 9");
    // Gone from the table before the client heard of it.
    EXPECT_EQ(resize(client, pid, 10, 10), false);
    EXPECT_EQ(signal(client, pid, SIGTERM), false);
}

TEST_F(Service, ShellThatExitsByItselfIsReportedExactlyOnce) {
    auto client = connect();
    auto shell = open(client, shRequest());
    ASSERT_TRUE(shell && !shell->response.failure);
    std::int32_t pid = shell->response.processIdentifier;
    writeAll(shell->terminal.get(), "exit 3\n");
    auto events = client.recorder->waitFor(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "exit " + std::to_string(pid) + " 3 0");
    EXPECT_EQ(resize(client, pid, 10, 10), false);
    EXPECT_TRUE(close(client, pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(client.recorder->events().size(), 1u);
    EXPECT_TRUE(childProcesses(helper.pid()).empty());
}

TEST_F(Service, CloseHangsUpAndKillsAShellThatIgnoresTheHangUp) {
    auto client = connect();
    auto stubborn = open(client, shRequest());
    auto polite = open(client, shRequest());
    ASSERT_TRUE(stubborn && polite && !stubborn->response.failure && !polite->response.failure);
    run(*stubborn, "trap '' HUP", "trapped");
    std::int32_t stubbornPid = stubborn->response.processIdentifier;
    std::int32_t politePid = polite->response.processIdentifier;

    auto closedAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(close(client, stubbornPid));
    EXPECT_TRUE(close(client, politePid));
    EXPECT_TRUE(waitForProcessGone(politePid, std::chrono::seconds(2)));
    EXPECT_FALSE(waitForProcessGone(stubbornPid, std::chrono::milliseconds(1500)));
    EXPECT_TRUE(waitForProcessGone(stubbornPid, std::chrono::seconds(5)));
    auto killedAfter = std::chrono::steady_clock::now() - closedAt;
    EXPECT_GE(killedAfter, std::chrono::milliseconds(2900));
    // Reaped, not left as zombies. A shell that ends while its close is still in progress may be
    // reported (once); the one killed later, after the session let go of it, never is.
    EXPECT_TRUE(childProcesses(helper.pid()).empty());
    auto events = client.recorder->events();
    EXPECT_LE(events.size(), 1u);
    for (const auto& event : events) EXPECT_EQ(event, "exit " + std::to_string(politePid) + " -1 1");
    EXPECT_EQ(resize(client, stubbornPid, 10, 10), false);
    // Closing an id nobody owns still replies.
    EXPECT_TRUE(close(client, 1));
}

TEST_F(Service, ClientsCannotTouchEachOthersShells) {
    auto owner = connect();
    auto stranger = connect();
    auto shell = open(owner, shRequest());
    ASSERT_TRUE(shell && !shell->response.failure);
    std::int32_t pid = shell->response.processIdentifier;
    EXPECT_EQ(resize(stranger, pid, 100, 50), false);
    EXPECT_EQ(signal(stranger, pid, SIGKILL), false);
    EXPECT_TRUE(close(stranger, pid));
    EXPECT_NE(run(*shell, "stty size", "alive").find("24 80"), std::string::npos);
    EXPECT_EQ(resize(owner, pid, 100, 50), true);
    EXPECT_TRUE(stranger.recorder->events().empty());
}

TEST_F(Service, EndedConnectionHangsUpAllItsShellsWithoutReports) {
    auto leaving = connect();
    auto staying = connect();
    std::vector<std::int32_t> pids;
    for (int i = 0; i < 3; ++i) {
        auto shell = open(leaving, shRequest());
        ASSERT_TRUE(shell && !shell->response.failure);
        pids.push_back(shell->response.processIdentifier);
    }
    auto kept = open(staying, shRequest());
    ASSERT_TRUE(kept && !kept->response.failure);
    leaving.connection->invalidate();
    for (auto pid : pids) EXPECT_TRUE(waitForProcessGone(pid, std::chrono::seconds(5))) << pid;
    EXPECT_NE(run(*kept, "true", "kept").find("kept-42"), std::string::npos);
    EXPECT_EQ(childProcesses(helper.pid()), std::vector<pid_t>{kept->response.processIdentifier});
    EXPECT_NE(helper.log().find("service: Connection from pid=" + std::to_string(::getpid()) + " ended"),
              std::string::npos);
    EXPECT_TRUE(leaving.recorder->events().empty());
}

TEST_F(Service, BadRequestsAndFailedSpawnsGetFailedResponses) {
    auto client = connect();
    auto invalid = open(client, std::optional<std::string>("{\"columns\":80}"));
    ASSERT_TRUE(invalid);
    EXPECT_FALSE(invalid->terminal.valid());
    ASSERT_TRUE(invalid->response.failure);
    EXPECT_TRUE(invalid->response.failure->starts_with("Invalid launch request: "))
        << *invalid->response.failure;
    EXPECT_EQ(invalid->response.processIdentifier, 0);

    auto missing = open(client, shRequest("/nonexistent/shell"));
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->terminal.valid());
    ASSERT_TRUE(missing->response.failure);
    EXPECT_EQ(missing->response.processIdentifier, 0);
    EXPECT_NE(helper.log().find("shell: Shell launch failed: " + *missing->response.failure),
              std::string::npos)
        << helper.log();
    EXPECT_TRUE(childProcesses(helper.pid()).empty());
}

TEST_F(Service, SecondHelperRefusesToStealTheSockets) {
    ProcessOptions options;
    options.environment = {{"HOME", helper.runtimeDirectory().parent_path().string()},
                           {"XDG_RUNTIME_DIR", helper.runtimeDirectory().string()}};
    auto second = runProcess(HelperProcess::executable(), {"--serve"}, options);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_NE(
        second.standardError.find("Another Velmora Helper is already serving at " + helper.socketPath()),
        std::string::npos)
        << second.standardError;
    auto client = connect();
    EXPECT_TRUE(open(client, shRequest()).has_value());

    options.environment.erase("XDG_RUNTIME_DIR");
    auto homeless = runProcess(HelperProcess::executable(), {"--serve"}, options);
    EXPECT_EQ(homeless.exitStatus, 1);
    EXPECT_NE(homeless.standardError.find("XDG_RUNTIME_DIR"), std::string::npos);
}

TEST_F(Service, ManyClientsOpeningAndClosingLeakNothing) {
    // Warm up, so that lazily made descriptors (the event loop's, the journal's) are counted before.
    {
        auto client = connect();
        auto shell = open(client, shRequest());
        ASSERT_TRUE(shell && !shell->response.failure);
        ASSERT_TRUE(close(client, shell->response.processIdentifier));
        ASSERT_TRUE(waitForProcessGone(shell->response.processIdentifier, std::chrono::seconds(5)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t before = descriptorCount(helper.pid());

    constexpr int kClients = 10;
    constexpr int kCycles = 100;
    std::atomic<int> failures = 0;
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&] {
            auto client = ClientEnd::connect(helper.socketPath());
            if (!client) {
                failures += kCycles;
                return;
            }
            for (int i = 0; i < kCycles; ++i) {
                auto shell = open(*client, shRequest("/bin/cat"));
                if (!shell || shell->response.failure || !shell->terminal.valid() ||
                    !close(*client, shell->response.processIdentifier))
                    ++failures;
            }
            client->connection->invalidate();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline &&
           (!childProcesses(helper.pid()).empty() || descriptorCount(helper.pid()) > before))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(childProcesses(helper.pid()), std::vector<pid_t>{});
    EXPECT_LE(descriptorCount(helper.pid()), before);
    EXPECT_TRUE(helper.running());
}

}  // namespace
}  // namespace velmora::testing
