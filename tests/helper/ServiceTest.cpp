// The built helper served for real, driven through the kit's client side with real shells.

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "kit/HelperErrors.h"
#include "kit/HelperInfo.h"
#include "kit/ShellMessages.h"
#include "kit/VelmoraHelperIdentity.h"
#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using kit::Blob;
using platform::UniqueFd;

kit::ShellLaunchRequest shellRequest(std::string shell = "/bin/sh") {
    return {.columns = 80, .rows = 24, .shellPath = std::move(shell), .environment = {{"PS1", "$ "}}};
}

// The values of one call's reply, or nothing when it failed or did not come.
template <class... V, class Call>
std::optional<std::tuple<V...>> ask(ClientEnd& client, Call call) {
    CallOutcome<V...> outcome;
    call(*client.proxy(outcome), outcome.reply());
    if (!outcome.wait() || !outcome.values()) return std::nullopt;
    return std::move(outcome.values());
}

OpenedShell open(ClientEnd& client, const kit::ShellLaunchRequest& request) {
    return openShell(client, *request.encoded());
}
std::optional<bool> resize(ClientEnd& client, std::int32_t pid, std::int64_t columns, std::int64_t rows) {
    auto reply = ask<bool>(client, [&](auto& h, auto r) { h.resizeShell(pid, columns, rows, std::move(r)); });
    return reply ? std::optional(std::get<0>(*reply)) : std::nullopt;
}
std::optional<bool> signal(ClientEnd& client, std::int32_t pid, std::int32_t number) {
    auto reply = ask<bool>(client, [&](auto& h, auto r) { h.signalShell(pid, number, std::move(r)); });
    return reply ? std::optional(std::get<0>(*reply)) : std::nullopt;
}
bool close(ClientEnd& client, std::int32_t pid) {
    return ask<>(client, [&](auto& h, auto r) { h.closeShell(pid, std::move(r)); }).has_value();
}
std::string exitEvent(std::int32_t pid, int status, int signal) {
    return "exit " + std::to_string(pid) + " " + std::to_string(status) + " " + std::to_string(signal);
}

class Service : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(helper.waitUntilListening()) << helper.log(); }
    ClientEnd connect() {
        auto client = ClientEnd::connect(helper.socketPath());
        EXPECT_TRUE(client.has_value());
        return std::move(*client);
    }
    // The helper's children once they are `expected`, or as they are after ten seconds: a shell seen
    // gone may still be a zombie for a moment before its reaper collects it.
    std::vector<pid_t> children(const std::vector<pid_t>& expected = {}) {
        for (int i = 0; i < 500 && childProcesses(helper.pid()) != expected; ++i)
            std::this_thread::sleep_for(20ms);
        return childProcesses(helper.pid());
    }
    HelperProcess helper;
};

TEST_F(Service, InfoDescribesTheHelperAndTheAccount) {
    auto client = connect();
    auto reply = ask<Blob>(client, [](auto& h, auto r) { h.fetchHelperInfo(std::move(r)); });
    ASSERT_TRUE(reply);
    auto info = kit::HelperInfo::decode(std::get<0>(*reply).value_or(""));
    ASSERT_TRUE(info) << info.error().description;
    passwd* account = ::getpwuid(::getuid());
    EXPECT_EQ(*info,
              (kit::HelperInfo{*kit::HelperVersion::parse(VELMORA_PROJECT_VERSION), VELMORA_BUILD_NUMBER, 2,
                               std::filesystem::canonical(VELMORA_BUNDLE_DIR).string(), helper.pid(),
                               account->pw_shell, account->pw_name}));
    EXPECT_NE(helper.log().find("service: Starting Velmora Helper " + std::string(VELMORA_PROJECT_VERSION) +
                                " (" + std::to_string(VELMORA_BUILD_NUMBER) +
                                "), protocol 2 pid=" + std::to_string(helper.pid()) + "\n"),
              std::string::npos)
        << helper.log();
    EXPECT_NE(helper.log().find("service: Accepted connection from pid=" + std::to_string(::getpid())),
              std::string::npos);
}

TEST_F(Service, RealShellsAreTypedIntoResizedSignalledAndReportedOnce) {
    for (const std::string shellPath : {"/bin/sh", "/bin/bash"}) {
        SCOPED_TRACE(shellPath);
        auto client = connect();
        // Padded with Unicode white space (no-break, em and line separator), which is trimmed.
        auto request = shellRequest("\u00a0" + shellPath + "\u2028");
        request.environment["EDITOR"] = "vi";
        request.environment["XPC_SERVICE_NAME"] = "x";
        request.workingDirectory = "\u2003/tmp\n";
        auto shell = open(client, request);
        ASSERT_TRUE(shell.terminal.valid());
        ASSERT_FALSE(shell.response.failure) << *shell.response.failure;
        EXPECT_TRUE(shell.response.ttyPath.starts_with("/dev/pts/")) << shell.response.ttyPath;
        EXPECT_EQ(shell.response.shellPath, shellPath);
        EXPECT_EQ(shell.response.workingDirectory, "/tmp");
        EXPECT_EQ(children({shell.pid()}), std::vector<pid_t>{shell.pid()});
        // The shell's environment is made afresh: nothing of the helper's own leaks into it.
        EXPECT_NE(
            runInShell(shell, R"(echo "[$PWD|$EDITOR|${XPC_SERVICE_NAME-no}|${XDG_RUNTIME_DIR-no}|$TERM]")")
                .find("[/tmp|vi|no|no|xterm-256color]"),
            std::string::npos);
        EXPECT_NE(runInShell(shell, "stty size").find("24 80"), std::string::npos);
        EXPECT_EQ(resize(client, shell.pid(), 132, 43), true);
        EXPECT_NE(runInShell(shell, "stty size").find("43 132"), std::string::npos);
        if (shellPath == "/bin/sh") {
            writeAll(shell.terminal.get(), "exit 3\n");
            EXPECT_EQ(client.recorder->waitFor(1), std::vector<std::string>{exitEvent(shell.pid(), 3, 0)});
        } else {
            EXPECT_EQ(signal(client, shell.pid(), SIGKILL), true);
            EXPECT_EQ(client.recorder->waitFor(1), std::vector<std::string>{exitEvent(shell.pid(), -1, 9)});
        }
        // Gone from the table before the client heard of it; closing it still replies. These replies
        // travel behind any second report sent with the first, so by now it would have arrived.
        EXPECT_EQ(resize(client, shell.pid(), 10, 10), false);
        EXPECT_EQ(signal(client, shell.pid(), SIGTERM), false);
        EXPECT_TRUE(close(client, shell.pid()));
        EXPECT_EQ(client.recorder->events().size(), 1u);
        EXPECT_TRUE(children().empty());
    }
}

TEST_F(Service, CloseHangsUpAndKillsAShellThatIgnoresTheHangUp) {
    auto client = connect();
    auto stubborn = open(client, shellRequest());
    auto polite = open(client, shellRequest());
    ASSERT_TRUE(!stubborn.response.failure && !polite.response.failure);
    runInShell(stubborn, "trap '' HUP");
    auto closedAt = std::chrono::steady_clock::now();
    // The client still holds its copies of both terminals: only the helper's signals can end them.
    EXPECT_TRUE(close(client, stubborn.pid()));
    EXPECT_TRUE(close(client, polite.pid()));
    // The polite one ends on the hang-up, before any kill; the stubborn one outlives it until the kill,
    // however long the closes took.
    EXPECT_TRUE(waitForProcessGone(polite.pid(), 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - closedAt, 2900ms);
    auto beforeTheKill = closedAt + 2s - std::chrono::steady_clock::now();
    EXPECT_FALSE(waitForProcessGone(stubborn.pid(),
                                    std::chrono::duration_cast<std::chrono::milliseconds>(beforeTheKill)));
    EXPECT_TRUE(waitForProcessGone(stubborn.pid(), 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - closedAt, 2900ms);
    // Reaped, not left as zombies. A shell that ends while its close is still in progress may be
    // reported (once); the one killed later, after the session let go of it, never is.
    EXPECT_TRUE(children().empty());
    for (const auto& event : client.recorder->events()) EXPECT_EQ(event, exitEvent(polite.pid(), -1, 1));
    EXPECT_LE(client.recorder->events().size(), 1u);
    EXPECT_TRUE(close(client, 1));  // an id nobody owns still gets its reply
}

TEST_F(Service, ShellsBelongToTheirConnectionAndEndWithIt) {
    auto leaving = connect();
    auto staying = connect();
    std::vector<std::int32_t> pids;
    std::vector<OpenedShell> shells;
    for (int i = 0; i < 3; ++i) {
        shells.push_back(open(leaving, shellRequest()));
        ASSERT_TRUE(!shells.back().response.failure);
        pids.push_back(shells.back().pid());
    }
    auto kept = open(staying, shellRequest());
    ASSERT_TRUE(!kept.response.failure);
    // Another client can neither resize, signal nor close a shell it did not open.
    EXPECT_EQ(resize(staying, pids[0], 100, 50), false);
    EXPECT_EQ(signal(staying, pids[0], SIGKILL), false);
    EXPECT_TRUE(close(staying, pids[0]));
    // A hang-up would have been sent before that reply; the shell still answers.
    EXPECT_NE(runInShell(shells[0], "true").find("done-42"), std::string::npos);
    leaving.connection->invalidate();
    for (auto pid : pids) EXPECT_TRUE(waitForProcessGone(pid, 10s)) << pid;
    EXPECT_NE(runInShell(kept, "true").find("done-42"), std::string::npos);
    EXPECT_EQ(children({kept.pid()}), std::vector<pid_t>{kept.pid()}) << helper.log();
    EXPECT_NE(helper.log().find("service: Connection from pid=" + std::to_string(::getpid()) + " ended"),
              std::string::npos);
    EXPECT_TRUE(leaving.recorder->events().empty());
    EXPECT_TRUE(staying.recorder->events().empty());
}

TEST_F(Service, BadRequestsAndFailedSpawnsGetFailedResponses) {
    auto client = connect();
    auto invalid = openShell(client, Blob("{\"columns\":80}"));
    ASSERT_TRUE(invalid.response.failure);
    EXPECT_FALSE(invalid.terminal.valid());
    EXPECT_TRUE(invalid.response.failure->starts_with("Invalid launch request: "))
        << *invalid.response.failure;
    EXPECT_EQ(invalid.pid(), 0);
    auto missing = open(client, shellRequest("/nonexistent/shell"));
    ASSERT_TRUE(missing.response.failure);
    EXPECT_FALSE(missing.terminal.valid());
    EXPECT_EQ(missing.pid(), 0);
    EXPECT_NE(helper.log().find("shell: Shell launch failed: " + *missing.response.failure),
              std::string::npos)
        << helper.log();
    EXPECT_TRUE(children().empty());
}

TEST_F(Service, SecondHelperRefusesToStealTheSocketsOrTheUpdateUnderWay) {
    const auto home = helper.runtimeDirectory().parent_path() / "home";
    ProcessOptions options{
        .environment = {{"HOME", home.string()}, {"XDG_RUNTIME_DIR", helper.runtimeDirectory().string()}}};
    // The running helper's download in progress.
    const auto download = kit::VelmoraHelperIdentity::updateStagingDirectoryURL(home) / "RUN" / "update.zip";
    std::filesystem::create_directories(download.parent_path());
    writeFile(download, "partial");
    auto second = runProcess(HelperProcess::executable(), {"--serve"}, options);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_NE(
        second.standardError.find("Another Velmora Helper is already serving at " + helper.socketPath()),
        std::string::npos)
        << second.standardError;
    EXPECT_TRUE(std::filesystem::exists(download)) << second.standardError;
    auto client = connect();
    EXPECT_TRUE(open(client, shellRequest()).response.succeeded());
    options.environment.erase("XDG_RUNTIME_DIR");
    auto homeless = runProcess(HelperProcess::executable(), {"--serve"}, options);
    EXPECT_EQ(homeless.exitStatus, 1);
    EXPECT_NE(homeless.standardError.find("XDG_RUNTIME_DIR"), std::string::npos);
}

TEST_F(Service, ManyClientsOpeningAndClosingLeakNothing) {
    {  // warm up, so that lazily made descriptors are counted before
        auto client = connect();
        auto shell = open(client, shellRequest());
        ASSERT_TRUE(!shell.response.failure && close(client, shell.pid()));
        ASSERT_TRUE(waitForProcessGone(shell.pid(), 10s));
    }
    // Reaped: its descriptors are gone too.
    ASSERT_TRUE(children().empty());
    size_t before = descriptorCount(helper.pid());
    std::atomic<int> failures = 0;
    std::vector<std::thread> threads;
    for (int c = 0; c < 10; ++c)
        threads.emplace_back([&] {
            auto client = ClientEnd::connect(helper.socketPath());
            for (int i = 0; client && i < 100; ++i) {
                auto shell = open(*client, shellRequest("/bin/cat"));
                if (shell.response.failure || !shell.terminal.valid() || !close(*client, shell.pid()))
                    ++failures;
            }
            if (client) client->connection->invalidate();
            if (!client) failures += 100;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline &&
           (!childProcesses(helper.pid()).empty() || descriptorCount(helper.pid()) > before))
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(childProcesses(helper.pid()), std::vector<pid_t>{});
    EXPECT_LE(descriptorCount(helper.pid()), before);
    EXPECT_TRUE(helper.running());
}

TEST(SocketActivation, InheritedSocketsAreServedWithoutBindingNewOnes) {
    // systemd-socket-activate binds both service names, waits for the first connection, then execs the
    // helper in its own process with the listening sockets and the service manager's variable.
    HelperProcess activator({"@activate", "--seqpacket", "-l", "@RUNTIME@/group.com.norwick.Velmora.helper",
                             "-l", "@RUNTIME@/group.com.norwick.Velmora.dev.helper", "-E",
                             "XPC_SERVICE_NAME=com.norwick.VelmoraHelper", "-E", "HOME", "-E",
                             "XDG_RUNTIME_DIR", HelperProcess::executable().string()});
    ASSERT_TRUE(activator.waitUntilListening()) << activator.log();
    for (size_t service : {1, 0}) {
        auto client = ClientEnd::connect(activator.socketPath(service));
        ASSERT_TRUE(client);
        auto reply = ask<Blob>(*client, [](auto& h, auto r) { h.fetchHelperInfo(std::move(r)); });
        ASSERT_TRUE(reply) << activator.log();
        EXPECT_EQ(kit::HelperInfo::decode(std::get<0>(*reply).value_or(""))->processIdentifier,
                  activator.pid());
    }
    EXPECT_NE(activator.log().find("service: Starting Velmora Helper"), std::string::npos) << activator.log();
}

}  // namespace
}  // namespace velmora::testing
