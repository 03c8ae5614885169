// Where shells live: the installed, socket-activated bundle under a real `systemd --user` puts each in a
// scope of its own, which outlives the agent; a helper without a user manager keeps them as before.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>

#include <thread>

#include "kit/ShellMessages.h"
#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
const fs::path kBuilt = VELMORA_BUNDLE_DIR;
const std::string kNames[] = {"group.com.norwick.Velmora.helper", "group.com.norwick.Velmora.dev.helper"};

struct PrivateMountNamespace : ::testing::Environment {
    void SetUp() override { enterSystemdNamespace(); }
};
[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new PrivateMountNamespace);

std::string cgroupOf(pid_t pid) {
    auto text = readFile("/proc/" + std::to_string(pid) + "/cgroup");
    auto at = text.find("0::");
    return at == std::string::npos ? "" : text.substr(at + 3, text.find('\n', at) - at - 3);
}
std::string scopeOf(pid_t pid) {
    return "app-com.norwick.VelmoraHelper-shell-" + std::to_string(pid) + ".scope";
}
bool waitForScope(pid_t pid) {
    for (auto deadline = std::chrono::steady_clock::now() + kWait;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms))
        if (cgroupOf(pid).ends_with("/" + scopeOf(pid))) return true;
    return false;
}
std::string systemctl(const UserManager& user, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "--user");
    return user.run("/usr/bin/systemctl", arguments).standardOutput;
}

// The user manager writes its warnings to /dev/console, and only when that is a terminal: here, one
// whose other side a thread drains, for as long as this lives.
struct ManagerConsole {
    platform::UniqueFd controlling, terminal;
    std::string text;
    std::jthread reader;
    ManagerConsole() {
        int master = -1, slave = -1;
        char name[64];
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        controlling = platform::UniqueFd(master), terminal = platform::UniqueFd(slave);
        if (::mount(name, "/dev/console", nullptr, MS_BIND, nullptr) == 0)
            reader = std::jthread([this](std::stop_token stop) {
                for (char buffer[4096]; !stop.stop_requested();)
                    if (pollfd ready{controlling.get(), POLLIN, 0}; ::poll(&ready, 1, 100) > 0)
                        if (auto got = ::read(controlling.get(), buffer, sizeof buffer); got > 0)
                            text.append(buffer, static_cast<size_t>(got));
            });
    }
    ~ManagerConsole() { ::umount2("/dev/console", MNT_DETACH); }
    // Everything written so far; nothing is read after this.
    std::string stop() {
        reader = {};
        return text;
    }
};

const std::string kShellRequest =
    *kit::ShellLaunchRequest{.columns = 80, .rows = 24, .shellPath = "/bin/sh"}.encoded();

TEST(ShellScopes, EachShellInAScopeOfItsOwnThatOutlivesTheAgentAndEndsAlone) {
    ManagerConsole console;
    UserManager user;
    if (!user.ready) GTEST_SKIP() << "needs root for a private mount namespace";
    ASSERT_EQ(user.run(kBuilt / "Contents/MacOS/Velmora Helper", {"--install"}).exitStatus, 0);
    auto client = ClientEnd::connect(user.runtime / kNames[0]);
    ASSERT_TRUE(client);
    OpenedShell kept = openShell(*client, kShellRequest), killed = openShell(*client, kShellRequest),
                hungUp = openShell(*client, kShellRequest);
    pid_t helper = user.helperPid();
    for (auto* shell : {&kept, &killed, &hungUp}) {
        ASSERT_TRUE(shell->response.succeeded()) << *shell->response.failure;
        ASSERT_TRUE(waitForScope(shell->pid())) << cgroupOf(shell->pid());
        EXPECT_EQ(systemctl(user, {"show", "-P", "Description", scopeOf(shell->pid())}),
                  "Velmora Helper shell /bin/sh on " + shell->response.ttyPath + "\n");
    }
    // What a shell starts stays in its scope.
    auto seen = runInShell(kept, "nohup sleep 600 >/dev/null 2>&1 & echo job=$!-$((40+2))");
    pid_t job = std::atoi(seen.substr(seen.rfind("job=") + 4).c_str());
    ASSERT_GT(job, 0) << seen;
    EXPECT_EQ(cgroupOf(job), cgroupOf(kept.pid()));
    // The job's line may come a status or two after its fork.
    std::string status;
    for (auto deadline = std::chrono::steady_clock::now() + kWait;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms))
        if (status = systemctl(user, {"status", scopeOf(kept.pid())});
            status.find("─" + std::to_string(job) + " ") != std::string::npos)
            break;
    for (pid_t member : {kept.pid(), job})
        EXPECT_NE(status.find("─" + std::to_string(member) + " "), std::string::npos) << status;

    // Killing one scope ends that shell alone, and its client hears of it.
    systemctl(user, {"kill", "--signal=KILL", scopeOf(killed.pid())});
    EXPECT_EQ(client->recorder->waitFor(1),
              std::vector<std::string>{"exit " + std::to_string(killed.pid()) + " -1 9"});
    EXPECT_FALSE(waitForProcessGone(kept.pid(), 200ms));

    // Closing a shell that ignores the hang-up still kills it once the grace period is over.
    runInShell(hungUp, "trap '' HUP");
    CallOutcome<> closed;
    client->proxy(closed)->closeShell(hungUp.pid(), closed.reply());
    ASSERT_TRUE(closed.wait());
    EXPECT_FALSE(waitForProcessGone(hungUp.pid(), 1s)) << "killed before the grace period";
    EXPECT_TRUE(waitForProcessGone(hungUp.pid(), 10s));

    // Stopping the agent ends the helper alone; the next activation finds nothing left over.
    systemctl(user, {"stop", "com.norwick.VelmoraHelper.service"});
    EXPECT_TRUE(waitForProcessGone(helper, kWait));
    for (pid_t survivor : {kept.pid(), job}) EXPECT_FALSE(waitForProcessGone(survivor, 200ms)) << survivor;
    pid_t next = user.info(kNames[1]).processIdentifier;
    EXPECT_GT(next, 0);
    EXPECT_NE(next, helper);
    auto written = console.stop();
    EXPECT_EQ(written.find("left-over"), std::string::npos) << written;
    ::kill(job, SIGKILL);
    ::kill(kept.pid(), SIGKILL);
}

TEST(ShellScopes, WithoutAUserManagerShellsStayAndTheReasonIsLoggedOnce) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening()) << helper.log();
    auto client = ClientEnd::connect(helper.socketPath());
    ASSERT_TRUE(client);
    const std::string reason =
        "shell: Shells stay in the helper's control group: no user manager answers at " +
        (helper.runtimeDirectory() / "systemd/private").string() + " (No such file or directory)";
    for (int round = 0; round < 2; ++round) {
        auto shell = openShell(*client, kShellRequest);
        ASSERT_TRUE(shell.response.succeeded()) << *shell.response.failure;
        EXPECT_EQ(cgroupOf(shell.pid()), cgroupOf(helper.pid()));
        CallOutcome<> closed;
        client->proxy(closed)->closeShell(shell.pid(), closed.reply());
        ASSERT_TRUE(closed.wait());
        EXPECT_TRUE(waitForProcessGone(shell.pid(), kWait));
    }
    for (auto deadline = std::chrono::steady_clock::now() + kWait;
         helper.log().find(reason) == std::string::npos && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(20ms);
    auto log = helper.log();
    EXPECT_NE(log.find(reason), std::string::npos) << log;
    EXPECT_EQ(log.find("control group"), log.rfind("control group")) << log;
}

}  // namespace
}  // namespace velmora::testing
