// A client bundle verified by one activation of the installed helper is accepted by the next from the
// verification the user manager kept for it, unless the bundle changed; a store handed to the manager
// by any other process is never used. systemd 252 keeps a unit's store only while the unit is not fully
// stopped: across `systemctl --user restart`, not across a stop or the idle exit (later managers keep
// it there too with FileDescriptorStorePreserve=), so a restart separates the two activations here.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "codesign/VerificationStore.h"
#include "platform/FdStore.h"
#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
const fs::path kBuilt = VELMORA_BUNDLE_DIR, kTool = VELMORA_SHELL_TOOL;
const fs::path kToolBundle = kTool.parent_path().parent_path().parent_path();
const std::string kRemembered = "accepted from the remembered verification";

struct PrivateMountNamespace : ::testing::Environment {
    void SetUp() override { enterSystemdNamespace(); }
};
[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new PrivateMountNamespace);

// Hands `bytes` to the manager's store from a process of the user that is not the helper. It stays
// alive, so that the manager can still look up where it comes from.
pid_t plantFromAnotherProcess(const UserManager& user, const std::string& bytes) {
    int sent[2];
    if (::pipe(sent) != 0) return -1;
    pid_t child = ::fork();
    if (child == 0) {
        ::setenv("NOTIFY_SOCKET", (user.runtime / "systemd/notify").c_str(), 1);
        char kept = platform::FdStore::keep(codesign::VerificationStore::kDescriptorName, bytes) ? 'y' : 'n';
        if (::write(sent[1], &kept, 1) == 1) ::pause();
        ::_exit(1);
    }
    char kept = 'n';
    EXPECT_EQ(::read(sent[0], &kept, 1), 1);
    EXPECT_EQ(kept, 'y') << "the datagram was not sent";
    for (int fd : sent) ::close(fd);
    return child;
}

struct Change {
    std::string name;
    std::function<void(const fs::path& bundle)> apply;  // empty: left as it was
    bool stillVerifies;
};

TEST(InstalledAgent, RemembersAVerifiedClientAcrossActivationsUntilItsBundleChanges) {
    UserManager user;
    if (!user.ready) GTEST_SKIP() << "needs root for a private mount namespace";
    ASSERT_EQ(user.run(kBuilt / "Contents/MacOS/Velmora Helper", {"--install"}).exitStatus, 0);
    // The helper's log lines go to its standard error where no journal listens: into a file.
    fs::path log = user.scratch.path() / "helper.log";
    fs::path dropIn = user.home / ".config/systemd/user/com.norwick.VelmoraHelper.service.d";
    fs::create_directories(dropIn);
    writeFile(dropIn / "log.conf", "[Service]\nStandardError=append:" + log.string() + "\n");
    ASSERT_EQ(user.run("/usr/bin/systemctl", {"--user", "daemon-reload"}).exitStatus, 0);

    const fs::path tool = "Contents/MacOS/velmora-shell", seal = "Contents/_CodeSignature/CodeResources";
    const Change changes[] = {
        {"unchanged", {}, true},
        {"a byte", [&](const fs::path& b) { writeFile(b / tool, readFile(b / tool) + "\n"); }, false},
        {"a mode",
         [&](const fs::path& b) {
             fs::permissions(b / tool, fs::perms::group_exec, fs::perm_options::remove);
         },
         false},
        {"a renamed item", [&](const fs::path& b) { fs::rename(b / seal, b / "Contents/CodeResources"); },
         false},
        {"a replaced file",
         [&](const fs::path& b) {
             fs::copy_file(b / tool, b / "copy");
             fs::rename(b / "copy", b / tool);
         },
         true},
    };
    auto bundleOf = [&](const Change& change) {
        return user.scratch.path() / "clients" / (change.name + ".app");
    };
    auto info = [&](const Change& change) { return user.run(bundleOf(change) / tool, {"info", "--json"}); };
    for (const auto& change : changes) {
        fs::create_directories(bundleOf(change).parent_path());
        fs::copy(kToolBundle, bundleOf(change), fs::copy_options::recursive);
    }

    for (const auto& change : changes) ASSERT_EQ(info(change).exitStatus, 0) << change.name << readFile(log);
    // Taken, it would replace the helper's own store: no client would be remembered.
    pid_t planter = plantFromAnotherProcess(user, "not a store");
    pid_t first = user.helperPid();
    ASSERT_EQ(
        user.run("/usr/bin/systemctl", {"--user", "restart", "com.norwick.VelmoraHelper.service"}).exitStatus,
        0);
    ::kill(planter, SIGKILL);
    ::waitpid(planter, nullptr, 0);
    ASSERT_NE(user.helperPid(), first);
    for (const auto& change : changes)
        if (change.apply) change.apply(bundleOf(change));

    for (const auto& change : changes) {
        SCOPED_TRACE(change.name);
        auto answered = info(change);
        EXPECT_EQ(answered.exitStatus == 0, change.stillVerifies) << answered.standardError;
        bool remembered = readFile(log).find("Client bundle " + bundleOf(change).string() + " " +
                                             kRemembered) != std::string::npos;
        EXPECT_EQ(remembered, !change.apply) << readFile(log);
    }
    EXPECT_EQ(readFile(log).find("ignored"), std::string::npos) << readFile(log);
}

}  // namespace
}  // namespace velmora::testing
