// The update pipeline over real files: ZIP archives of real bundles "downloaded" from a directory,
// expanded by the live step, their recorded digest checked, their executable run for its version by the live
// step, and the installed bundle swapped. Only the transfer itself is stood in for; steps may throw, and the
// swap is also checked on its own: flushed before the exchange, and on file systems without the rename flags.

#include "core/update/HelperUpdater.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/update/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/UniqueFd.h"
#include "tests/core/UpdaterTestSupport.h"

namespace velmora::core {
namespace {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;
using E = kit::HelperUpdateError;
using kit::HelperUpdateEvent;
using Event = HelperUpdateEvent::Case;
using StepError = HelperUpdater::StepError;

class HelperUpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override { installed = testing::makeBundle(install, "1.4.0", "old"); }
    void TearDown() override {
        for (auto& thread : transfers) thread.join();
    }

    // The manifest of an archive of `layout` published under `name`; `edit` may change the manifest.
    std::string publish(const std::string& name, const std::function<void(const fs::path&)>& layout,
                        const std::function<void(nlohmann::json&)>& edit = {},
                        const std::vector<testing::ZipEntry>& extra = {}) {
        fs::path tree = server.path() / ("tree-" + name), zip = server.path() / name;
        fs::create_directories(tree);
        layout(tree);
        testing::makeZip(tree, zip, extra);
        auto manifest = nlohmann::json::parse(
            R"({"schemaVersion":2,"version":"1.5.0","build":60,"publishedAt":"2025-03-01T12:00:00Z",)"
            R"("minimumSystemVersion":"13.0","minimumAppVersion":"2.0.0","protocolVersion":2,"releaseNotes":[]})");
        manifest["download"] = {{"url", "https://velmora.norwick.com/downloads/helper/" + name},
                                {"fileName", name},
                                {"sha256", HelperUpdater::sha256(zip).value()},
                                {"size", fs::file_size(zip)}};
        if (edit) edit(manifest);
        return manifest.dump();
    }
    std::string publishVersion(const std::string& name, const std::string& version, int exitStatus = 0) {
        return publish(name,
                       [&](const fs::path& tree) { testing::makeBundle(tree, version, "new", exitStatus); });
    }

    struct Outcome {
        tl::expected<void, E> result;
        std::vector<Event> kinds;  // repeated progress events counted once
        std::vector<HelperUpdateEvent> events;
    };
    Outcome run(const std::string& manifest) {
        HelperUpdater::Dependencies steps(
            [this](const std::string& url, const fs::path& destination, std::int64_t, auto progress, auto,
                   auto completion) {
                maybeThrow("download");
                transfers.emplace_back([=, this] {
                    if (openShellsDuringDownload) openShells = 1;
                    std::string data = testing::readFile(server.path() / url.substr(url.rfind('/') + 1));
                    for (size_t at = 0; at < data.size(); at += 700) {
                        testing::writeFile(destination, data.substr(0, at + 700));
                        progress(static_cast<std::int64_t>(std::min(data.size(), at + 700)));
                    }
                    completion(downloadResult);
                });
            },
            [this](const fs::path& archive, const fs::path& destination) -> tl::expected<void, StepError> {
                maybeThrow("expand");
                if (auto expanded = HelperUpdaterIO::expand(archive, destination); !expanded)
                    return tl::unexpected(StepError::update(expanded.error()));
                if (afterExpanding) afterExpanding(destination);
                return {};
            },
            [this](const fs::path& bundle) -> tl::expected<void, StepError> {
                if (throwIn == "verify") throw 42;
                if (auto checked = testing::checkRecordedDigest(bundle); !checked)
                    return tl::unexpected(StepError::other(checked.error()));
                return {};
            },
            [this](const fs::path& bundle) -> tl::expected<std::string, StepError> {
                maybeThrow("version");
                auto reported = HelperUpdaterIO::reportedVersion(bundle);
                if (!reported) return tl::unexpected(StepError::other(reported.error()));
                return *reported;
            },
            [this] {
                if (++counts > 1) maybeThrow("count");
                return openShells.load();
            },
            [this] {
                maybeThrow("restart");
                ++restarts;
            });
        counts = 0;
        auto updater = HelperUpdater::create(install, std::move(steps));
        std::promise<tl::expected<void, E>> done;
        Outcome outcome;
        std::mutex mutex;
        updater->begin(
            manifest,
            [&](const HelperUpdateEvent& event) {
                std::lock_guard lock(mutex);
                outcome.events.push_back(event);
                if (outcome.kinds.empty() || outcome.kinds.back() != event.kind())
                    outcome.kinds.push_back(event.kind());
            },
            [&](tl::expected<void, E> result) { done.set_value(std::move(result)); });
        auto future = done.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        outcome.result = future.get();
        std::lock_guard lock(mutex);
        return outcome;
    }

    void maybeThrow(const std::string& step) {
        if (throwIn == step) throw std::runtime_error(step + " threw");
    }

    void expectInstalled(const std::string& marker) {
        EXPECT_FALSE(fs::is_symlink(installed));
        EXPECT_EQ(testing::readFile(installed / "Contents/Resources/marker"), marker);
        EXPECT_TRUE(testing::checkRecordedDigest(installed));
        // Nothing of a run is left: an empty staging root at most, no staged bundle.
        fs::path stagingRoot = install / Identity::updateStagingDirectoryName;
        EXPECT_TRUE(!fs::exists(stagingRoot) || fs::is_empty(stagingRoot));
        for (const auto& entry : fs::directory_iterator(install))
            EXPECT_FALSE(entry.path().filename().string().starts_with(Identity::stagedBundlePrefix));
    }

    testing::TemporaryDirectory home, server;
    fs::path install = Identity::installDirectoryURL(home.path());
    fs::path installed;
    std::vector<std::thread> transfers;
    tl::expected<void, StepError> downloadResult;
    std::atomic<std::int64_t> openShells{0};
    std::atomic<bool> openShellsDuringDownload{false};
    std::atomic<int> restarts{0};
    int counts = 0;
    std::string throwIn;
    std::function<void(const fs::path&)> afterExpanding;
};

TEST_F(HelperUpdaterTest, SuccessfulRunReportsEachStepWithRunningTotalsAndSwapsTheBundle) {
    // Entries as other archivers write them: "./" names, set-id bits, a read-only folder, a link inside.
    const std::string in = "./Velmora Helper.app/./Contents/";
    auto manifest = publish("a.zip", [](auto& tree) { testing::makeBundle(tree, "1.5.0", "new"); }, {},
                            {{"./", S_IFDIR | 0755, ""},
                             {in + "run", S_IFREG | 06755, "x"},
                             {in + "ro/", S_IFDIR | 0555, ""},
                             {in + "l", S_IFLNK | 0777, "run"}});
    auto size = nlohmann::json::parse(manifest)["download"]["size"].get<std::int64_t>();
    auto outcome = run(manifest);
    ASSERT_TRUE(outcome.result) << outcome.result.error().summary();
    EXPECT_EQ(outcome.kinds, (std::vector<Event>{Event::startedDownloading, Event::downloaded,
                                                 Event::verified, Event::staged, Event::willRestart}));
    EXPECT_EQ(outcome.events.front(), HelperUpdateEvent::startedDownloading(size));
    EXPECT_EQ(outcome.events[outcome.events.size() - 4], HelperUpdateEvent::downloaded(size));
    EXPECT_EQ(restarts.load(), 1);
    expectInstalled("new");
    EXPECT_EQ(HelperUpdaterIO::reportedVersion(installed).value(), "Velmora Helper 1.5.0 (60), protocol 2\n");
    EXPECT_EQ(fs::status(installed / "Contents/run").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(installed / "Contents/ro").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::read_symlink(installed / "Contents/l"), "run");
}

TEST_F(HelperUpdaterTest, EveryFailureEndsTheRunWithOneErrorAndKeepsTheOldBundle) {
    const auto bundle = [](const std::string& where) {
        return [where](const fs::path& tree) { testing::makeBundle(tree / where, "1.5.0", "x"); };
    };
    const std::vector<Event> downloaded{Event::startedDownloading, Event::downloaded, Event::failed};
    const std::vector<Event> verified{Event::startedDownloading, Event::downloaded, Event::verified,
                                      Event::failed};
    struct Case {
        std::string manifest;
        E error;
        std::vector<Event> kinds;
        tl::expected<void, StepError> download = {};
        bool shellOpens = false;
        std::string throwIn = {};
        std::function<void(const fs::path&)> afterExpanding = {};
    };
    // An archive without a bundle, which gets `at` linked to `to` once expanded: only a real directory
    // inside the expansion is a bundle.
    const fs::path outside = testing::makeBundle(server.path() / "outside", "1.5.0", "outside");
    const E noBundle = E::expansionFailed("The archive does not contain Velmora Helper.app.");
    int linked = 0;
    const auto linking = [&](const fs::path& to, const fs::path& at,
                             const std::function<void(const fs::path&)>& layout = {}) {
        auto manifest = publish(
            "l" + std::to_string(++linked) + ".zip",
            layout ? layout : [](const fs::path& t) { testing::writeFile(t / "readme", ""); });
        return Case{manifest, noBundle, downloaded, {}, false, "", [=](const fs::path& d) {
                        fs::create_directories((d / at).parent_path());
                        fs::create_symlink(to, d / at);
                    }};
    };
    // A step that throws ends the run as that step's failure.
    const auto throwing = [&](const std::string& step, const E& error, const std::vector<Event>& kinds) {
        return Case{publish(step + ".zip", bundle("")), error, kinds, {}, false, step};
    };
    const auto refusing = [&](const std::string& key, const std::string& value) {
        return Case{publish("n.zip", bundle(""), [&](auto& m) { m["download"][key] = value; }),
                    E::manifestInvalid(),
                    {Event::failed}};
    };
    std::vector<Case> cases = {
        {"{\"schemaVersion\":2", E::manifestInvalid(), {Event::failed}},
        {publish("s.zip", bundle(""),
                 [](auto& m) { m["download"]["size"] = m["download"]["size"].template get<int>() + 1; }),
         E::sizeMismatch(), downloaded},
        {publish("d.zip", bundle(""), [](auto& m) { m["download"]["sha256"] = std::string(64, '0'); }),
         E::checksumMismatch(), downloaded},
        {publish("f.zip", bundle("")), E::downloadFailed("Not Found"), downloaded,
         tl::unexpected(StepError::update(E::downloadFailed("Not Found")))},
        {publish("c.zip", bundle("")), E::cancelled(), downloaded, tl::unexpected(StepError::cancellation())},
        {publish("deep.zip", bundle("a/b")), noBundle, downloaded},
        {publish("t.zip",
                 [](const fs::path& tree) {
                     testing::writeFile(Identity::executableURL(testing::makeBundle(tree, "1.5.0", "t")),
                                        "#!/bin/sh\necho 'Velmora Helper 1.5.0'\n", 0755);
                 }),
         E::signatureRejected("The code has been modified."), downloaded},
        {publishVersion("v.zip", "1.4.9"),
         E::versionPreflightFailed({1, 5, 0}, "Velmora Helper 1.4.9 (60), protocol 2\n"), downloaded},
        {publishVersion("x.zip", "1.5.0", 3), E::versionPreflightFailed({1, 5, 0}, "exit 3"), downloaded},
        {publishVersion("k.zip", "1.5.0", -9), E::versionPreflightFailed({1, 5, 0}, "signal 9"), downloaded},
        {publishVersion("u.zip", "1.5.0 \\224"), E::versionPreflightFailed({1, 5, 0}, ""), downloaded},
        {publish("legacy.zip", bundle(""), {}, {{"../J\x94rg", S_IFREG | 0644, ""}}),
         E::expansionFailed("The archive entry \"../J\\x94rg\" leaves the destination."), downloaded},
        {publish("bomb.zip", bundle(""), {}, {{"z", S_IFREG | 0644, std::string(32 << 20, '\0')}}),
         E::expansionFailed("The archive unpacks to more than 64 times its size; it is refused."),
         downloaded},
        {publish("b.zip", bundle("")), E::busy(), verified, {}, true},
        linking(outside, Identity::bundleFileName),
        linking(".hidden/Velmora Helper.app", Identity::bundleFileName, bundle(".hidden")),
        linking(outside, "folder/Velmora Helper.app"),
        linking(outside.parent_path(), "folder"),
        {publish("file.zip", [](auto& t) { testing::writeFile(t / Identity::bundleFileName, ""); }), noBundle,
         downloaded},
        throwing("download", E::downloadFailed("download threw"), {Event::startedDownloading, Event::failed}),
        throwing("expand", E::expansionFailed("expand threw"), downloaded),
        throwing("verify", E::signatureRejected("an exception of unknown type"), downloaded),
        throwing("version", E::versionPreflightFailed({1, 5, 0}, "version threw"), downloaded),
        throwing("count", E::busy(), verified),
        throwing("restart",
                 E::replaceFailed(
                     "The new helper is installed, but its restart could not be scheduled: restart threw"),
                 {Event::startedDownloading, Event::downloaded, Event::verified, Event::staged,
                  Event::willRestart, Event::failed}),
    };
    // A file name or address that is no plain name is refused before anything is fetched.
    for (const char* name : {"", ".", "..", "/tmp/a.zip", "../a.zip", "x/a.zip"})
        cases.push_back(refusing("fileName", name));
    cases.push_back(refusing("fileName", std::string("a\0.zip", 6)));
    cases.push_back(refusing("fileName", std::string(252, 'a') + ".zip"));
    for (const char* scheme : {"http://", "https:/", "https:///"})
        cases.push_back(refusing("url", scheme + std::string("velmora.norwick.com/downloads/helper/n.zip")));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error.summary());
        downloadResult = c.download;
        openShells = 0;
        openShellsDuringDownload = c.shellOpens;
        throwIn = c.throwIn;
        afterExpanding = c.afterExpanding;
        auto outcome = run(c.manifest);
        EXPECT_EQ(outcome.result, tl::unexpected(c.error));
        EXPECT_EQ(outcome.kinds, c.kinds);
        EXPECT_EQ(outcome.events.back(), HelperUpdateEvent::failed(c.error));
        expectInstalled(c.throwIn == "restart" ? "x" : "old");
        installed = testing::makeBundle(install, "1.4.0", "old");
    }
    throwIn.clear();
    afterExpanding = {};
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(outside))) << "the bundle outside was moved";
    openShells = 1;  // shells open at the start: refused before anything is touched
    EXPECT_EQ(run(publishVersion("o.zip", "1.5.0")).result, tl::unexpected(E::busy()));
    EXPECT_EQ(restarts.load(), 0);
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
    if (flags != 0) return errno = EINVAL, -1;
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
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1)
            << "only the installed item remains";
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
