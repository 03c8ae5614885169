// Tests that fork, in a binary of their own so that no other threads exist when they do. A child
// process swaps bundles in a loop and is killed at many points; the installed path must hold one whole
// bundle, old or new, every time. A real full disk (a small tmpfs in a private mount namespace) under the
// expansion, and the clean-up of leftovers as an ordinary user.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <sys/wait.h>

#include <thread>

#include "core/update/HelperUpdater.h"
#include "core/update/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/UniqueFd.h"
#include "tests/core/UpdaterTestSupport.h"

namespace velmora::core {
namespace {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;

// Every file's contents follow from the bundle's tag, so a mixed or partial bundle shows.
std::string payload(const std::string& tag, int index) {
    std::string data(48 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(tag[i % tag.size()] + index + (i >> 9));
    return data;
}

// The tag of the whole bundle at `bundle`, or why it is not whole.
std::string wholeBundleTag(const fs::path& bundle) {
    if (!fs::is_directory(bundle)) return "no bundle installed";
    std::string tag = testing::readFile(bundle / "Contents/Resources/marker");
    if ((tag != "old" && tag != "new") || !testing::checkRecordedDigest(bundle))
        return "marker or executable torn";
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::recursive_directory_iterator(bundle)) ++entries;
    for (int i = 0; i < 6; ++i)
        if (testing::readFile(bundle / "Contents/Resources" / std::to_string(i)) != payload(tag, i) ||
            entries != 13)
            return "payload torn";
    return tag;
}

TEST(HelperUpdaterSwapTest, KilledMidSwapLeavesOneWholeBundleInstalled) {
    testing::TemporaryDirectory home;
    fs::path install = Identity::installDirectoryURL(home.path()),
             installed = install / Identity::bundleFileName;
    for (std::string tag : {"old", "new"}) {
        fs::path bundle = testing::makeBundle(home.path() / tag, "1.0.0", tag);
        for (int i = 0; i < 6; ++i)
            testing::writeFile(bundle / "Contents/Resources" / std::to_string(i), payload(tag, i));
    }
    fs::create_directories(install);
    fs::copy(home.path() / "old" / Identity::bundleFileName, installed, fs::copy_options::recursive);
    for (int round = 0; round < 150; ++round) {
        int fds[2];  // the child writes a byte after each swap, so the parent knows it is in its loop
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        platform::UniqueFd progress(fds[0]), progressWrite(fds[1]);
        pid_t child = ::fork();
        if (child == 0) {
            for (;;) {  // stage the other bundle beside the installed one and swap it in
                std::string next = wholeBundleTag(installed) == "old" ? "new" : "old";
                fs::path staged = install / (std::string(Identity::stagedBundlePrefix) +
                                             HelperUpdaterIO::makeRunIdentifier());
                std::error_code error;
                fs::copy(home.path() / next / Identity::bundleFileName, staged, fs::copy_options::recursive,
                         error);
                if (error || !HelperUpdaterIO::replaceItem(installed, staged)) ::_exit(3);
                if (::write(progressWrite.get(), "s", 1) != 1) ::_exit(4);
            }
        }
        progressWrite.reset();
        char byte = 0;
        ASSERT_EQ(::read(progress.get(), &byte, 1), 1) << "the swapping child ended early";
        // Spread the kills over staging, the exchange and the removal of the previous bundle.
        std::this_thread::sleep_for(std::chrono::microseconds((round * 7919) % 6000));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the swapping child stopped by itself with " << status;
        auto tag = wholeBundleTag(installed);
        ASSERT_TRUE(tag == "old" || tag == "new") << "round " << round << ": " << tag;
        // A killed run leaves only hidden staged names, and the next start clears them.
        for (const auto& leftover : HelperUpdater::removeLeftovers(install))
            EXPECT_TRUE(leftover.filename().string().starts_with(Identity::stagedBundlePrefix)) << leftover;
        ASSERT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 1);
    }
}

const uid_t kNobody = 65534;

// Runs `body` in a child process, whose failed checks are printed there and fail the test here.
void inChild(const std::function<void()>& body) {
    pid_t child = ::fork();
    if (child == 0) body(), ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    int status = -1;
    EXPECT_TRUE(::waitpid(child, &status, 0) == child && status == 0) << "a check failed in the child";
}

TEST(HelperUpdaterIOTest, AFullDiskEndsTheExpansionWithTheSystemsReason) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    testing::TemporaryDirectory dir;
    std::string random(1 << 20, '\0');  // no bomb, and more than the disk holds
    ASSERT_EQ(::getrandom(random.data(), random.size(), 0), static_cast<ssize_t>(random.size()));
    testing::writeFile(dir.path() / "tree/big", random);
    testing::makeZip(dir.path() / "tree", dir.path() / "a.zip");
    fs::create_directories(dir.path() / "disk");
    inChild([&] {
        // Mounts only once the namespace is private.
        ASSERT_TRUE(::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                    ::mount("tmpfs", (dir.path() / "disk").c_str(), "tmpfs", 0, "size=256k") == 0);
        EXPECT_EQ(HelperUpdaterIO::expand(dir.path() / "a.zip", dir.path() / "disk"),
                  tl::unexpected(kit::HelperUpdateError::expansionFailed(
                      "The archive entry \"big\" could not be written: No space left on device")));
    });
}

TEST(HelperUpdaterIOTest, LeftoversAreListedOnlyWhenReallyRemoved) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as nobody";
    testing::TemporaryDirectory dir;
    fs::path install = dir.path() / "install", staging = install / Identity::updateStagingDirectoryName,
             staged = install / (std::string(Identity::stagedBundlePrefix) + "RUN");
    testing::writeFile(staging / "RUN/ro/f", "x");
    testing::writeFile(staged / "f", "x");
    for (const auto& item : fs::recursive_directory_iterator(install))
        ASSERT_EQ(::lchown(item.path().c_str(), kNobody, kNobody), 0);
    // A folder an archive made read-only, and a staged bundle of root's that nobody may not empty.
    ASSERT_EQ(::chown(install.c_str(), kNobody, kNobody) | ::chown(staged.c_str(), 0, 0) |
                  ::chmod(dir.path().c_str(), 0755) | ::chmod((staging / "RUN/ro").c_str(), 0500),
              0);
    inChild([&] {
        ASSERT_EQ(::setgid(kNobody) | ::setuid(kNobody), 0);
        EXPECT_EQ(HelperUpdater::removeLeftovers(install), std::vector<fs::path>{staging});
    });
    EXPECT_FALSE(fs::exists(staging));
}

}  // namespace
}  // namespace velmora::core
