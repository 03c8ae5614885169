// The update pipeline against hostile manifests and archives, steps that throw, and file systems that
// refuse the atomic rename flags; and the new bundle on disk before the exchange.

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <future>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include <gtest/gtest.h>
#include "core/HelperUpdater.h"
#include "core/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/UniqueFd.h"
#include "tests/core/UpdaterTestSupport.h"

namespace velmora::core {
namespace {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;
using kit::HelperUpdateError;
using kit::HelperUpdateEvent;
using StepError = HelperUpdater::StepError;
using Result = tl::expected<void, HelperUpdateError>;

const std::string kHost = std::string(Identity::downloadHost);

class HelperUpdaterHardeningTest : public ::testing::Test {
  protected:
    using Outcome = std::pair<Result, std::vector<HelperUpdateEvent>>;

    void SetUp() override {
        install = Identity::installDirectoryURL(home.path());
        testing::makeBundle(install, "1.4.0", "old");
        testing::makeBundle(server.path() / "tree", "1.5.0", "new");
        testing::makeZip(server.path() / "tree", zip);
    }

    std::string manifest(const std::string& fileName,
                         const std::string& url = "https://" + kHost + "/downloads/helper/a.zip") {
        auto json = nlohmann::json::parse(R"({"schemaVersion":2,"version":"1.5.0","build":60,
            "publishedAt":"2025-03-01T12:00:00Z","minimumSystemVersion":"13","minimumAppVersion":"2.0.0",
            "protocolVersion":2,"releaseNotes":[]})");
        json["download"] = {{"url", url},
                            {"fileName", fileName},
                            {"sha256", HelperUpdater::sha256(zip).value()},
                            {"size", fs::file_size(zip)}};
        return json.dump();
    }

    void maybeThrow(const std::string& step) {
        if (throwIn == step) throw std::runtime_error(step + " threw");
    }

    Outcome run(const std::string& json) {
        HelperUpdater::Dependencies steps(
            [this](const std::string&, const fs::path& destination, auto, auto, auto completion) {
                ++downloads;
                maybeThrow("download");
                fs::copy_file(zip, destination);
                completion({});
            },
            [this](const fs::path& archive, const fs::path& destination) -> tl::expected<void, StepError> {
                maybeThrow("expand");
                if (expand) return expand(destination);
                return testing::expandZip(archive, destination).map_error(StepError::other);
            },
            [this](const fs::path&) -> tl::expected<void, StepError> {
                if (throwIn == "verify") throw 42;
                return {};
            },
            [this](const fs::path& bundle) -> tl::expected<std::string, StepError> {
                maybeThrow("version");
                return testing::runVersion(bundle).value_or("none");
            },
            [this]() -> std::int64_t {
                if (++counts > 1) maybeThrow("count");
                return 0;
            },
            [this] { maybeThrow("restart"); });
        auto updater = HelperUpdater::create(install, std::move(steps));
        std::promise<Result> done;
        std::vector<HelperUpdateEvent> events;
        updater->begin(
            json, [&](const HelperUpdateEvent& event) { events.push_back(event); },
            [&](Result result) { done.set_value(std::move(result)); });
        auto result = done.get_future().get();
        return {result, events};
    }

    // The run ended with `error` as its last event, and left nothing of itself behind.
    void expectFailed(const Outcome& outcome, const HelperUpdateError& error,
                      const std::string& marker = "old") {
        ASSERT_FALSE(outcome.first);
        EXPECT_EQ(outcome.first.error(), error) << outcome.first.error().summary();
        EXPECT_EQ(outcome.second.back(), HelperUpdateEvent::failed(error));
        EXPECT_FALSE(fs::is_symlink(install / Identity::bundleFileName));
        EXPECT_EQ(testing::readFile(install / Identity::bundleFileName / "Contents/Resources/marker"),
                  marker);
        fs::path staging = install / Identity::updateStagingDirectoryName;
        EXPECT_TRUE(!fs::exists(staging) || fs::is_empty(staging));
        for (const auto& entry : fs::directory_iterator(install))
            EXPECT_FALSE(entry.path().filename().string().starts_with(Identity::stagedBundlePrefix));
    }

    testing::TemporaryDirectory home, server;
    fs::path install, zip = server.path() / "a.zip";
    int downloads = 0, counts = 0;
    std::string throwIn;
    std::function<tl::expected<void, StepError>(const fs::path&)> expand;
};

TEST_F(HelperUpdaterHardeningTest, FileNameOrUrlThatIsNoPlainNameIsRefusedBeforeAnythingIsFetched) {
    const std::string path = "/downloads/helper/a.zip";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {".", ""},
        {"..", ""},
        {"/tmp/a.zip", ""},
        {"../a.zip", ""},
        {"x/a.zip", ""},
        {std::string("a\0.zip", 6), ""},
        {"a.zip", "https:/" + kHost + path},
        {"a.zip", "https:///" + kHost + path},
    };
    for (const auto& [fileName, url] : cases) {
        SCOPED_TRACE(fileName + " " + url);
        auto outcome = url.empty() ? run(manifest(fileName)) : run(manifest(fileName, url));
        expectFailed(outcome, HelperUpdateError::manifestInvalid());
        EXPECT_EQ(outcome.second.size(), 1u);
        EXPECT_EQ(downloads, 0);
        EXPECT_FALSE(fs::exists(install / Identity::updateStagingDirectoryName));
    }
}

TEST_F(HelperUpdaterHardeningTest, OnlyARealDirectoryInsideTheExpansionIsABundle) {
    const fs::path outside = server.path() / "tree" / Identity::bundleFileName;
    const std::string name(Identity::bundleFileName);
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> cases = {
        {"link at the top to a bundle outside",
         [&](const fs::path& d) { fs::create_symlink(outside, d / name); }},
        {"link at the top to a hidden bundle inside",
         [&](const fs::path& d) {
             fs::create_directories(d / ".hidden");
             fs::copy(outside, d / ".hidden" / name, fs::copy_options::recursive);
             fs::create_symlink(".hidden/" + name, d / name);
         }},
        {"a file at the top", [&](const fs::path& d) { testing::writeFile(d / name, "x"); }},
        {"link one folder down",
         [&](const fs::path& d) {
             fs::create_directories(d / "folder");
             fs::create_symlink(outside, d / "folder" / name);
         }},
        {"real bundle in a linked folder",
         [&](const fs::path& d) { fs::create_directory_symlink(outside.parent_path(), d / "folder"); }},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.first);
        const auto& layout = entry.second;
        expand = [&](const fs::path& destination) -> tl::expected<void, StepError> {
            layout(destination);
            EXPECT_EQ(HelperUpdater::locateBundle(destination), std::nullopt);
            return {};
        };
        expectFailed(run(manifest("a.zip")),
                     HelperUpdateError::expansionFailed("The archive does not contain " + name + "."));
        EXPECT_TRUE(fs::is_directory(fs::symlink_status(outside))) << "the bundle outside was moved";
    }
}

TEST_F(HelperUpdaterHardeningTest, AStepThatThrowsEndsTheRunAsThatStepsFailure) {
    const std::vector<std::tuple<std::string, HelperUpdateError, std::string>> cases = {
        {"download", HelperUpdateError::downloadFailed("download threw"), "old"},
        {"expand", HelperUpdateError::expansionFailed("expand threw"), "old"},
        {"verify", HelperUpdateError::signatureRejected("an exception of unknown type"), "old"},
        {"version", HelperUpdateError::versionPreflightFailed({1, 5, 0}, "version threw"), "old"},
        {"count", HelperUpdateError::busy(), "old"},
        {"restart",
         HelperUpdateError::replaceFailed(
             "The new helper is installed, but its restart could not be scheduled: restart threw"),
         "new"},
    };
    for (const auto& [step, error, installed] : cases) {
        SCOPED_TRACE(step);
        throwIn = step;
        counts = 0;
        expectFailed(run(manifest("a.zip")), error, installed);
        testing::makeBundle(install, "1.4.0", "old");
    }
}

// Extents still waiting for the file system to place them: data that is not on disk yet.
bool hasDelayedExtents(const fs::path& file) {
    platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    alignas(fiemap) unsigned char storage[sizeof(fiemap) + 64 * sizeof(fiemap_extent)]{};
    auto* map = reinterpret_cast<fiemap*>(storage);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_extent_count = 64;
    if (::ioctl(fd.get(), FS_IOC_FIEMAP, map) != 0) return false;
    for (unsigned i = 0; i < map->fm_mapped_extents; ++i)
        if (map->fm_extents[i].fe_flags & (FIEMAP_EXTENT_DELALLOC | FIEMAP_EXTENT_UNKNOWN)) return true;
    return false;
}

TEST(HelperUpdaterIOTest, TheNewBundleIsOnDiskBeforeItIsSwappedIn) {
    testing::TemporaryDirectory dir;
    fs::path installed = dir.path() / "installed", staged = dir.path() / ".installing-A";
    const std::string payload(1 << 20, 'p');
    testing::writeFile(dir.path() / "probe", payload);
    if (!hasDelayedExtents(dir.path() / "probe"))
        GTEST_SKIP() << "this file system shows no delayed allocation to tell unwritten data by";
    testing::writeFile(installed / "old", "old");
    testing::writeFile(staged / "Contents/Resources/payload", payload);
    ASSERT_TRUE(HelperUpdaterIO::replaceItem(installed, staged));
    EXPECT_FALSE(hasDelayedExtents(installed / "Contents/Resources/payload"));
}

int refuseFlags(const char* from, const char* to, unsigned flags) {
    if (flags != 0) {
        errno = EINVAL;
        return -1;
    }
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, 0);
}

TEST(HelperUpdaterIOTest, FileSystemsWithoutTheRenameFlagsStillMoveAndSwap) {
    HelperUpdaterIO::setRenameForTesting(&refuseFlags);
    struct Restore {
        ~Restore() { HelperUpdaterIO::setRenameForTesting(nullptr); }
    } restore;
    testing::TemporaryDirectory dir;
    fs::path installed = dir.path() / "installed", staged = dir.path() / ".installing-A";
    fs::path expanded = dir.path() / "expanded";
    for (std::string marker : {"first", "second"}) {
        testing::writeFile(expanded / "marker", marker);
        ASSERT_TRUE(HelperUpdaterIO::moveItem(expanded, staged));
        ASSERT_TRUE(HelperUpdaterIO::replaceItem(installed, staged));
        EXPECT_EQ(testing::readFile(installed / "marker"), marker);
        size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++entries;
        EXPECT_EQ(entries, 1u) << "only the installed item remains";
    }
    // A move still never replaces what is there, not even an empty directory.
    fs::create_directories(expanded);
    fs::create_directories(staged);
    EXPECT_FALSE(HelperUpdaterIO::moveItem(expanded, staged));
    EXPECT_FALSE(HelperUpdaterIO::moveItem(expanded, installed));
    EXPECT_EQ(testing::readFile(installed / "marker"), "second");
}

}  // namespace
}  // namespace velmora::core
