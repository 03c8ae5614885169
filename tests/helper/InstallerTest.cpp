// The built bundle installed, registered and removed as a user would, against a real `systemd --user`
// for a throw-away home. Before the first test the process moves into a private mount namespace whose
// empty /run/systemd says "booted with systemd". InstalledAgent waits out the real idle delay ("slow").

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <functional>

#include "codesign/StaticCode.h"
#include "helper/HelperInstaller.h"
#include "kit/ShellMessages.h"
#include "kit/VelmoraHelperIdentity.h"
#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
const fs::path kBuilt = VELMORA_BUNDLE_DIR;
const char* const kMark = "user.xdg.origin.url";
const std::string kEnabled = ".config/systemd/user/sockets.target.wants/com.norwick.VelmoraHelper.socket";
const std::string kNames[] = {"group.com.norwick.Velmora.helper", "group.com.norwick.Velmora.dev.helper"};

// unshare(CLONE_NEWNS) needs a process with one thread: it runs before the first test.
struct PrivateMountNamespace : ::testing::Environment {
    void SetUp() override { enterSystemdNamespace(); }
};
[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new PrivateMountNamespace);

fs::path executable(const fs::path& bundle) {
    return bundle / "Contents/MacOS/Velmora Helper";
}
void copyBundle(const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy(kBuilt, to, fs::copy_options::recursive);
}

TEST(Installer, InstallsOverAnOlderCopyRegistersAndUninstallsWithoutATrace) {
    UserManager user;
    if (!user.ready) GTEST_SKIP() << "needs root for a private mount namespace";
    auto downloaded = user.home / "Downloads/Velmora Helper.app", installed = user.installed;
    copyBundle(downloaded);
    for (auto& item : fs::recursive_directory_iterator(downloaded))
        ::setxattr(item.path().c_str(), kMark, "x", 1, 0);
    writeFile(installed / "Contents/older", "1.3.0");

    auto install = user.run(executable(downloaded), {"--install"});
    EXPECT_EQ(install.exitStatus, 0);
    EXPECT_EQ(install.standardError, "installer: Installing " + downloaded.string() + " to " +
                                         installed.string() +
                                         "\ninstaller: Registration status: registered \n");
    EXPECT_EQ(tree(installed), tree(kBuilt));
    EXPECT_EQ(std::distance(fs::directory_iterator(installed.parent_path()), {}), 1)
        << "a staged copy remains";
    for (auto& item : fs::recursive_directory_iterator(installed))
        EXPECT_EQ(::lgetxattr(item.path().c_str(), kMark, nullptr, 0), -1) << item.path();

    // Both names listen; the first client starts the installed executable.
    EXPECT_EQ(user.helperPid(), 0);
    pid_t helper = user.info(kNames[1]).processIdentifier;
    EXPECT_EQ(user.info(kNames[0]).processIdentifier, helper);
    EXPECT_EQ(user.helperPid(), helper);
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(helper) + "/exe"), executable(installed));

    // By hand, the installed copy registers again and leaves the helper alone; --install from there
    // registers in place and restarts it.
    EXPECT_EQ(user.run(executable(installed), {}).standardError,
              "installer: Registration status: registered \n");
    EXPECT_EQ(user.helperPid(), helper);
    auto inPlace = user.run(executable(installed), {"--install"});
    EXPECT_EQ(inPlace.exitStatus, 0);
    EXPECT_EQ(inPlace.standardError,
              "installer: Already at the install location; registering in place\n"
              "installer: Registration status: registered \n");
    EXPECT_TRUE(waitForProcessGone(helper, kWait));

    auto uninstall = user.run(executable(installed), {"--uninstall"});
    EXPECT_EQ(uninstall.exitStatus, 0);
    EXPECT_EQ(uninstall.standardError, "installer: Uninstalled\n");
    EXPECT_FALSE(fs::exists(installed.parent_path()));
    EXPECT_FALSE(fs::exists(user.runtime / kNames[0]));
    for (auto& item : fs::recursive_directory_iterator(user.home / ".config/systemd/user"))
        EXPECT_TRUE(item.is_directory()) << item.path() << " remains";
    // Nothing installed: the manager's complaint is only logged.
    auto again = user.run(executable(kBuilt), {"--uninstall"});
    EXPECT_EQ(again.exitStatus, 0);
    EXPECT_EQ(again.standardError,
              "installer: Unregister reported: systemctl --user disable com.norwick.VelmoraHelper.socket "
              "com.norwick.VelmoraHelper.service failed with exit status 1\ninstaller: Uninstalled\n");
}

TEST(Installer, KeepsEveryModeUnderAnyUmaskAndTheAgentRunsTheBundleThatRegistered) {
    for (mode_t mask : {077, 022}) {
        UserManager user;
        if (!user.ready) GTEST_SKIP() << "needs root for a private mount namespace";
        mode_t previous = ::umask(mask);
        auto install = user.run(executable(kBuilt), {"--install"});
        ::umask(previous);
        EXPECT_EQ(install.exitStatus, 0) << install.standardError;
        EXPECT_EQ(tree(user.installed), tree(kBuilt)) << "umask " << mask;
        auto verified =
            codesign::checkValidity(user.installed, kit::VelmoraHelperIdentity::helperCodeSigningRequirement);
        EXPECT_TRUE(verified) << (verified ? "" : verified.error());

        // A copy elsewhere, at a path that ExecStart= must quote and escape, registers and serves; one at
        // a path that the manager would refuse to run is not registered.
        auto copy = user.home / "a b/%h $HOME/Velmora Helper.app",
             unrunnable = user.home / "it's/Velmora Helper.app";
        copyBundle(copy);
        auto registered = user.run(executable(copy), {"--register"});
        EXPECT_EQ(registered.standardError, "installer: Registration status: registered \n");
        EXPECT_EQ(user.info(kNames[0]).bundlePath, copy.string());
        EXPECT_EQ(user.run(executable(copy), {"--uninstall"}).exitStatus, 0);
        EXPECT_FALSE(fs::exists(user.home / ".config/systemd/user/com.norwick.VelmoraHelper.service.d"));
        copyBundle(unrunnable);
        auto refused = user.run(executable(unrunnable), {"--register"});
        EXPECT_EQ(refused.exitStatus, 1) << refused.standardError;
    }
}

// A systemctl that fails for every command whose arguments match the shell pattern.
void failingSystemctl(UserManager& user, const std::string& pattern) {
    fs::copy_file("/usr/bin/systemctl", user.home / "systemctl");
    writeFile(user.home / "wrapper", "#!/bin/sh\ncase \" $* \" in " + pattern + ") exit 1;; esac\nexec '" +
                                         (user.home / "systemctl").string() + "' \"$@\"\n");
    fs::permissions(user.home / "wrapper", fs::perms::owner_all);
    user.mountOver(user.home / "wrapper", "/usr/bin/systemctl");
}

TEST(Installer, EachOutcomeHasItsStatusAndLeavesTheInstalledBundleWhole) {
    enum From { installed, source, outside };
    using Prepare = std::function<void(UserManager&, const fs::path& source)>;
    struct Case {
        const char* name;
        Prepare prepare;
        From from;
        std::string argument;
        int status;  // -1: killed by a signal
        std::string text;
        bool enabled;  // the socket unit is enabled on disk afterwards
    };
    std::vector<Case> cases{
        {"no user manager", nullptr, installed, "--register", 0, "Registration status: requiresApproval \n",
         true},
        {"systemctl fails", [](auto& u, auto&) { failingSystemctl(u, "*"); }, installed, "--register", 1,
         "Registration status: failed systemctl --user --root=/ link --force failed with exit status 1\n",
         false},
        {"link fails while registered",
         [](auto& u, auto&) {
             EXPECT_EQ(u.run(executable(u.installed), {"--register"}).exitStatus, 0);
             failingSystemctl(u, "*\" link \"*");
         },
         installed, "--register", 0, "Registration status: registered \n", true},
        {"register outside a bundle", nullptr, outside, "--register", 64,
         "--register must run from inside Velmora Helper.app.\n", false},
        {"units missing", [](auto&, auto& s) { fs::remove_all(s / "Contents/Library"); }, source, "--install",
         1, "Install failed: No unit file at ", false},
        {"install directory read-only",
         [](auto& u, auto&) { u.mountOver(u.installed.parent_path(), u.installed.parent_path(), MS_RDONLY); },
         source, "--install", 1, "Install failed: Could not copy ", false},
        {"disk full",  // room for the installed copy and half another
         [](auto& u, auto&) {
             auto size = "size=" + std::to_string(fs::file_size(executable(kBuilt)) * 3 / 2 + (1 << 20));
             ASSERT_EQ(::mount("tmpfs", u.installed.parent_path().c_str(), "tmpfs", 0, size.c_str()), 0);
             u.mounts.push_back(u.installed.parent_path());
             copyBundle(u.installed);
         },
         source, "--install", 1, "No space left on device\n", false},
        {"drop-in unwritable while another copy is registered",
         [](auto& u, auto&) {
             EXPECT_EQ(u.run(executable(u.installed), {"--register"}).exitStatus, 0);
             auto dropIns = u.home / ".config/systemd/user/com.norwick.VelmoraHelper.service.d";
             u.mountOver(dropIns, dropIns, MS_RDONLY);
         },
         source, "--register", 1, "Registration status: failed Could not write ", true},
        // A file size limit below the executable's ends the copy half-way with SIGXFSZ.
        {"killed half-way through the copy", nullptr, source, "--fsize=65536", -1, "installer: Installing ",
         false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        UserManager user(c.name != std::string("no user manager"));
        if (!user.ready) GTEST_SKIP() << "needs root for a private mount namespace";
        auto source = user.home / "src/Velmora Helper.app", target = user.home / "Velmora Helper";
        copyBundle(source);
        copyBundle(user.installed);
        writeFile(user.installed / "Contents/older", "1.3.0");
        if (c.from == outside) fs::copy_file(executable(kBuilt), target);
        if (c.prepare) c.prepare(user, source);
        auto before = tree(user.installed);
        if (c.from != outside) target = executable(c.from == installed ? user.installed : source);
        auto result = c.argument != "--fsize=65536"
                          ? user.run(target, {c.argument})
                          : user.run("/usr/bin/prlimit", {c.argument, target, "--install"});
        EXPECT_EQ(result.exitStatus, c.status) << result.standardError;
        EXPECT_NE(result.standardError.find(c.text), std::string::npos) << result.standardError;
        EXPECT_EQ(tree(user.installed), before);
        EXPECT_EQ(fs::exists(user.home / kEnabled), c.enabled);
    }
}

TEST(Installer, UninstallWithoutAUserManagerSaysWhenNothingWasRegistered) {
    UserManager user(false);
    if (!user.ready) GTEST_SKIP() << "needs root for a private mount namespace";
    EXPECT_EQ(user.run(executable(kBuilt), {"--uninstall"}).standardError,
              "installer: Unregister reported: com.norwick.VelmoraHelper.socket is not registered\n"
              "installer: Uninstalled\n");
    ASSERT_EQ(user.run(executable(kBuilt), {"--register"}).exitStatus, 0);
    EXPECT_EQ(user.run(executable(kBuilt), {"--uninstall"}).standardError, "installer: Uninstalled\n");
}

TEST(Installer, DetachedUninstallerOutsideABundleReportsTheMissingExecutable) {
    auto spawned = helper::HelperInstaller::spawnDetachedUninstaller();
    ASSERT_FALSE(spawned);
    EXPECT_EQ(spawned.error(), kit::HelperUninstallError::spawnFailed("No such file or directory"));
}

TEST(InstalledAgent, IdleExitKeepsTheSocketListeningAndANohupJobAlive) {
    UserManager user;
    if (!user.ready) GTEST_SKIP() << "needs root for a private mount namespace";
    ASSERT_EQ(user.run(executable(kBuilt), {"--install"}).exitStatus, 0);
    auto client = ClientEnd::connect(user.runtime / kNames[0]);
    ASSERT_TRUE(client);
    auto shell = openShell(
        *client, *kit::ShellLaunchRequest{.columns = 80, .rows = 24, .shellPath = "/bin/sh"}.encoded());
    ASSERT_TRUE(shell.response.succeeded()) << *shell.response.failure;
    int terminal = shell.terminal.get();
    writeAll(terminal, "nohup sleep 600 >/dev/null 2>&1 & echo job=$!-$((40+2))\n");
    auto seen = readUntil(terminal, "-42");
    pid_t job = std::atoi(seen.substr(seen.rfind("job=") + 4).c_str()), helper = user.helperPid();
    ASSERT_GT(job, 0) << seen;

    // The connection ends and its shell is hung up; a minute later the helper leaves by itself.
    client->connection->invalidate();
    EXPECT_TRUE(waitForProcessGone(helper, std::chrono::seconds(90)));
    EXPECT_FALSE(waitForProcessGone(job, std::chrono::milliseconds(200))) << "the nohup job was ended";
    pid_t next = user.info(kNames[1]).processIdentifier;
    EXPECT_GT(next, 0);
    EXPECT_NE(next, helper);
    ::kill(job, SIGKILL);
}

}  // namespace
}  // namespace velmora::testing
