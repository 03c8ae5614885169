// A child process swaps bundles in a loop and is killed at many points; the installed path must
// hold one whole bundle, old or new, every time. A binary of its own: it forks, and no other
// threads may exist when it does.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "core/HelperUpdater.h"
#include "core/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/UniqueFd.h"
#include "tests/core/UpdaterTestSupport.h"

namespace velmora::core {
namespace {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;

constexpr int kPayloadFiles = 6;

std::string payloadFor(const std::string& tag, int index) {
    std::string data(48 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(tag[i % tag.size()] + index + (i >> 9));
    return data;
}

// A bundle whose every file's contents follow from its tag, so a mixed or partial bundle shows.
void makeTaggedBundle(const fs::path& parent, const std::string& tag) {
    fs::path bundle = testing::makeBundle(parent, "1.0.0", tag);
    for (int i = 0; i < kPayloadFiles; ++i)
        testing::writeFile(bundle / "Contents/Resources" / ("payload-" + std::to_string(i)),
                           payloadFor(tag, i));
}

// The tag of the whole bundle at `bundle`, or a description of what is wrong with it.
tl::expected<std::string, std::string> wholeBundleTag(const fs::path& bundle) {
    if (!fs::is_directory(bundle)) return tl::unexpected(std::string("no bundle installed"));
    std::string tag = testing::readFile(bundle / "Contents/Resources/marker");
    if (tag != "old" && tag != "new") return tl::unexpected("marker reads \"" + tag + "\"");
    if (!testing::checkRecordedDigest(bundle))
        return tl::unexpected(std::string("executable does not match"));
    for (int i = 0; i < kPayloadFiles; ++i) {
        fs::path file = bundle / "Contents/Resources" / ("payload-" + std::to_string(i));
        if (testing::readFile(file) != payloadFor(tag, i))
            return tl::unexpected(file.filename().string() + " is not whole for " + tag);
    }
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::recursive_directory_iterator(bundle)) ++entries;
    // Contents, MacOS, the executable, Resources, the marker, the payload, _CodeSignature, its file.
    if (entries != 7u + kPayloadFiles)
        return tl::unexpected("bundle has " + std::to_string(entries) + " items");
    return tag;
}

TEST(HelperUpdaterSwapTest, KilledMidSwapLeavesOneWholeBundleInstalled) {
    testing::TemporaryDirectory home;
    fs::path install = Identity::installDirectoryURL(home.path());
    fs::path installed = install / Identity::bundleFileName;
    fs::path templates = home.path() / "templates";
    makeTaggedBundle(templates / "old", "old");
    makeTaggedBundle(templates / "new", "new");
    fs::create_directories(install);
    fs::copy(templates / "old" / Identity::bundleFileName, installed, fs::copy_options::recursive);

    long swaps = 0;
    for (int round = 0; round < 150; ++round) {
        // The child writes one byte after each swap, so the parent knows it is in its loop.
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        platform::UniqueFd progress(fds[0]), progressWrite(fds[1]);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Stage the other bundle beside the installed one and swap it in, again and again.
            for (;;) {
                auto current = wholeBundleTag(installed);
                std::string next = current && *current == "old" ? "new" : "old";
                fs::path staged = install / (std::string(Identity::stagedBundlePrefix) +
                                             HelperUpdaterIO::makeRunIdentifier());
                std::error_code error;
                fs::copy(templates / next / Identity::bundleFileName, staged, fs::copy_options::recursive,
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
        swaps += 1;
        char drained[256];
        for (ssize_t n; (n = ::read(progress.get(), drained, sizeof drained)) > 0;) swaps += n;

        auto tag = wholeBundleTag(installed);
        ASSERT_TRUE(tag) << "round " << round << ": " << tag.error();

        // What a killed run leaves is only ever hidden staged names, and the next start clears them.
        for (const auto& leftover : HelperUpdater::removeLeftovers(install))
            EXPECT_TRUE(leftover.filename().string().starts_with(Identity::stagedBundlePrefix)) << leftover;
        size_t remaining = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(install)) ++remaining;
        ASSERT_EQ(remaining, 1u);
    }
    std::cout << swaps << " swaps completed across the killed children\n";
}

}  // namespace
}  // namespace velmora::core
