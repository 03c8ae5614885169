#include "core/HelperUpdater.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "core/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"
#include "tests/core/UpdaterTestSupport.h"

namespace velmora::core {
namespace {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;
using kit::HelperUpdateError;
using kit::HelperUpdateEvent;
using kit::HelperVersion;
using testing::TemporaryDirectory;
using Event = HelperUpdateEvent::Case;
using StepError = HelperUpdater::StepError;

constexpr auto kTimeout = std::chrono::seconds(30);
const std::string kDownloadBase = "https://velmora.norwick.com/downloads/helper/";

struct Release {
    std::string fileName;
    std::string sha256;
    std::int64_t size = 0;
};

struct Outcome {
    tl::expected<void, HelperUpdateError> result;
    std::vector<HelperUpdateEvent> events;

    [[nodiscard]] std::vector<Event> kinds() const {
        std::vector<Event> out;
        for (const auto& e : events)
            if (out.empty() || e.kind() != Event::downloaded || out.back() != Event::downloaded)
                out.push_back(e.kind());
        return out;
    }
};

// Records events from any thread and lets a test act on one as it arrives.
class EventRecorder {
  public:
    std::function<void(const HelperUpdateEvent&)> onEvent;

    void operator()(const HelperUpdateEvent& event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
        }
        if (onEvent) onEvent(event);
    }
    std::vector<HelperUpdateEvent> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

  private:
    std::mutex mutex_;
    std::vector<HelperUpdateEvent> events_;
};

class HelperUpdaterPipelineTest : public ::testing::Test {
  protected:
    using DownloadBody = std::function<tl::expected<void, StepError>(
        const std::string& url, const fs::path& destination, const HelperUpdater::ProgressHandler& progress,
        const HelperUpdater::CancellationProbe& isCancelled)>;

    void SetUp() override {
        installDirectory = Identity::installDirectoryURL(home.path());
        installedBundle = testing::makeBundle(installDirectory, "1.4.0", "old");
        downloadBody = [this](auto&&... args) { return copyFromServer(args...); };
    }

    void TearDown() override {
        releaseDownload();
        std::lock_guard lock(threadsMutex);
        for (auto& thread : downloadThreads) thread.join();
    }

    // A release archive in the server directory, its tree made by `layout` inside a scratch folder.
    Release publish(const std::string& fileName, const std::function<void(const fs::path&)>& layout) {
        fs::path tree = server.path() / ("tree-" + fileName);
        fs::create_directories(tree);
        layout(tree);
        fs::path zip = server.path() / fileName;
        testing::makeZip(tree, zip);
        return Release{fileName, HelperUpdater::sha256(zip).value(),
                       static_cast<std::int64_t>(fs::file_size(zip))};
    }
    Release publishVersion(const std::string& version, const std::string& fileName = "VelmoraHelper.zip") {
        return publish(fileName,
                       [&](const fs::path& tree) { testing::makeBundle(tree, version, "new " + version); });
    }

    static std::string manifestJSON(const Release& release, const std::string& version,
                                    const std::string& url = "") {
        nlohmann::json download = {{"url", url.empty() ? kDownloadBase + release.fileName : url},
                                   {"fileName", release.fileName},
                                   {"sha256", release.sha256},
                                   {"size", release.size}};
        nlohmann::json manifest = {{"schemaVersion", 2},
                                   {"version", version},
                                   {"build", 60},
                                   {"publishedAt", "2025-03-01T12:00:00Z"},
                                   {"minimumSystemVersion", "13.0"},
                                   {"minimumAppVersion", "2.0.0"},
                                   {"protocolVersion", 2},
                                   {"download", download},
                                   {"releaseNotes", nlohmann::json::array()}};
        return manifest.dump();
    }

    static std::string manifestWithout(const std::string& json, const std::string& key) {
        auto manifest = nlohmann::json::parse(json);
        manifest.erase(key);
        return manifest.dump();
    }

    std::shared_ptr<HelperUpdater> makeUpdater() {
        HelperUpdater::Dependencies dependencies(
            [this](const std::string& url, const fs::path& destination,
                   HelperUpdater::ProgressHandler progress, HelperUpdater::CancellationProbe isCancelled,
                   HelperUpdater::DownloadCompletion completion) {
                std::lock_guard lock(threadsMutex);
                downloadThreads.emplace_back([=, this, held = gate] {
                    if (held) held->future.wait();
                    auto result = downloadBody(url, destination, progress, isCancelled);
                    completion(std::move(result));
                });
            },
            [this](const fs::path& archive, const fs::path& destination) {
                return expandStep(archive, destination);
            },
            [this](const fs::path& bundle) { return verifyStep(bundle); },
            [this](const fs::path& bundle) { return versionStep(bundle); },
            [this] { return openShells.load(); }, [this] { ++restarts; });
        auto updater = HelperUpdater::create(installDirectory, std::move(dependencies));
        current = updater.get();
        return updater;
    }

    std::future<tl::expected<void, HelperUpdateError>> start(HelperUpdater& updater, std::string json) {
        auto promise = std::make_shared<std::promise<tl::expected<void, HelperUpdateError>>>();
        auto future = promise->get_future();
        updater.begin(
            std::move(json), [this](const HelperUpdateEvent& e) { recorder(e); },
            [promise](tl::expected<void, HelperUpdateError> result) {
                promise->set_value(std::move(result));
            });
        return future;
    }

    Outcome wait(std::future<tl::expected<void, HelperUpdateError>>& future) {
        if (future.wait_for(kTimeout) != std::future_status::ready) {
            ADD_FAILURE() << "the update did not end";
            return Outcome{tl::unexpected(HelperUpdateError::cancelled()), recorder.events()};
        }
        return Outcome{future.get(), recorder.events()};
    }

    Outcome runUpdate(std::string json) {
        auto updater = makeUpdater();
        auto future = start(*updater, std::move(json));
        return wait(future);
    }

    // Downloads started from now on wait until releaseDownload().
    void holdDownload() { gate = std::make_shared<Gate>(); }
    void releaseDownload() {
        if (gate) gate->open();
    }

    tl::expected<void, StepError> copyFromServer(const std::string& url, const fs::path& destination,
                                                 const HelperUpdater::ProgressHandler& progress,
                                                 const HelperUpdater::CancellationProbe& isCancelled) {
        fs::path source = server.path() / url.substr(url.rfind('/') + 1);
        if (!fs::is_regular_file(source))
            return tl::unexpected(StepError::update(HelperUpdateError::downloadFailed("not found")));
        if (duringDownload) duringDownload();
        std::string data = testing::readFile(source);
        std::FILE* out = std::fopen(destination.c_str(), "wb");
        if (!out) return tl::unexpected(StepError::other("cannot open the destination"));
        std::int64_t written = 0;
        constexpr size_t kChunk = 700;
        for (size_t offset = 0; offset < data.size(); offset += kChunk) {
            if (honourCancellation && isCancelled()) {
                std::fclose(out);
                return tl::unexpected(StepError::cancellation());
            }
            size_t n = std::min(kChunk, data.size() - offset);
            std::fwrite(data.data() + offset, 1, n, out);
            written += static_cast<std::int64_t>(n);
            progress(written);
        }
        std::fclose(out);
        return {};
    }

    void expectInstalled(const std::string& marker) {
        EXPECT_EQ(testing::readFile(installedBundle / "Contents/Resources/marker"), marker);
        EXPECT_TRUE(testing::checkRecordedDigest(installedBundle));
    }

    // Every end of a run leaves the staging root empty and no staged bundle beside the installed one.
    void expectNoRunItemsLeft() {
        fs::path stagingRoot = installDirectory / Identity::updateStagingDirectoryName;
        if (fs::is_directory(stagingRoot)) {
            EXPECT_TRUE(fs::is_empty(stagingRoot)) << "work directory left behind";
        }
        for (const auto& entry : fs::directory_iterator(installDirectory))
            EXPECT_FALSE(entry.path().filename().string().starts_with(Identity::stagedBundlePrefix))
                << entry.path() << " left behind";
    }

    TemporaryDirectory home;
    TemporaryDirectory server;
    fs::path installDirectory;
    fs::path installedBundle;
    EventRecorder recorder;
    HelperUpdater* current = nullptr;

    std::atomic<std::int64_t> openShells{0};
    std::atomic<int> restarts{0};
    std::atomic<bool> honourCancellation{true};
    std::function<void()> duringDownload;
    DownloadBody downloadBody;
    std::function<tl::expected<void, StepError>(const fs::path&, const fs::path&)> expandStep =
        [](const fs::path& archive, const fs::path& destination) -> tl::expected<void, StepError> {
        if (auto expanded = testing::expandZip(archive, destination); !expanded)
            return tl::unexpected(StepError::other(expanded.error()));
        return {};
    };
    std::function<tl::expected<void, StepError>(const fs::path&)> verifyStep =
        [](const fs::path& bundle) -> tl::expected<void, StepError> {
        if (auto checked = testing::checkRecordedDigest(bundle); !checked)
            return tl::unexpected(StepError::other(checked.error()));
        return {};
    };
    std::function<tl::expected<std::string, StepError>(const fs::path&)> versionStep =
        [](const fs::path& bundle) -> tl::expected<std::string, StepError> {
        auto reported = testing::runVersion(bundle);
        if (!reported) return tl::unexpected(StepError::other(reported.error()));
        return *reported;
    };

    struct Gate {
        std::promise<void> promise;
        std::shared_future<void> future = promise.get_future().share();
        std::once_flag once;
        void open() {
            std::call_once(once, [this] { promise.set_value(); });
        }
    };
    std::shared_ptr<Gate> gate;
    std::mutex threadsMutex;
    std::vector<std::thread> downloadThreads;
};

// ---- A whole run

TEST_F(HelperUpdaterPipelineTest, SuccessfulRunSwapsInTheNewBundleAndReportsEachStepInOrder) {
    Release release = publishVersion("1.5.0");
    Outcome outcome = runUpdate(manifestJSON(release, "1.5.0"));

    ASSERT_TRUE(outcome.result) << outcome.result.error().text();
    EXPECT_EQ(outcome.kinds(), (std::vector<Event>{Event::startedDownloading, Event::downloaded,
                                                   Event::verified, Event::staged, Event::willRestart}));
    EXPECT_EQ(outcome.events.front(), HelperUpdateEvent::startedDownloading(release.size));
    // Running totals, not chunk sizes, ending at the archive's size.
    std::int64_t previous = 0;
    for (const auto& e : outcome.events) {
        if (e.kind() != Event::downloaded) continue;
        EXPECT_GT(e.byteCount(), previous);
        previous = e.byteCount();
    }
    EXPECT_EQ(previous, release.size);
    EXPECT_EQ(restarts.load(), 1);

    expectInstalled("new 1.5.0");
    EXPECT_EQ(testing::runVersion(installedBundle).value(), "Velmora Helper 1.5.0 (60), protocol 2\n");
    expectNoRunItemsLeft();
    // The empty staging root stays until the next service start clears it.
    fs::path stagingRoot = installDirectory / Identity::updateStagingDirectoryName;
    EXPECT_TRUE(fs::is_directory(stagingRoot));
    EXPECT_EQ(HelperUpdater::removeLeftovers(installDirectory), std::vector<fs::path>{stagingRoot});
    expectInstalled("new 1.5.0");
}

TEST_F(HelperUpdaterPipelineTest, InstallsAnOlderReleaseAndInstallsWhenNothingIsInstalledYet) {
    Release older = publishVersion("1.0.3", "older.zip");
    ASSERT_TRUE(runUpdate(manifestJSON(older, "1.0.3")).result);
    expectInstalled("new 1.0.3");

    fs::remove_all(installedBundle);
    Release fresh = publishVersion("1.6.0", "fresh.zip");
    ASSERT_TRUE(runUpdate(manifestJSON(fresh, "1.6.0")).result);
    expectInstalled("new 1.6.0");
    EXPECT_EQ(restarts.load(), 2);
    expectNoRunItemsLeft();
}

TEST_F(HelperUpdaterPipelineTest, UpperCasePublishedDigestMatches) {
    Release release = publishVersion("1.5.0");
    std::transform(release.sha256.begin(), release.sha256.end(), release.sha256.begin(), ::toupper);
    Outcome outcome = runUpdate(manifestJSON(release, "1.5.0"));
    EXPECT_TRUE(outcome.result);
    expectInstalled("new 1.5.0");
}

TEST_F(HelperUpdaterPipelineTest, InstallerRecordIsNeitherCheckedNorFetched) {
    Release release = publishVersion("1.5.0");
    auto manifest = nlohmann::json::parse(manifestJSON(release, "1.5.0"));
    manifest["installer"] = {{"url", "http://elsewhere.example/installer.pkg"},
                             {"fileName", "i.pkg"},
                             {"sha256", "00"},
                             {"size", 1}};
    std::vector<std::string> fetched;
    downloadBody = [&](const std::string& url, const fs::path& destination, auto& progress,
                       auto& isCancelled) {
        fetched.push_back(url);
        return copyFromServer(url, destination, progress, isCancelled);
    };
    EXPECT_TRUE(runUpdate(manifest.dump()).result);
    EXPECT_EQ(fetched, std::vector<std::string>{kDownloadBase + release.fileName});
    expectInstalled("new 1.5.0");
}

// ---- Refusals before a run starts: nothing on disk is touched

TEST_F(HelperUpdaterPipelineTest, RefusalsBeforeTheRunLeaveTheDiskUntouched) {
    Release release = publishVersion("1.5.0");
    struct Case {
        std::string json;
        std::int64_t shells;
        HelperUpdateError error;
    };
    const std::vector<Case> cases = {
        {"{\"schemaVersion\":2", 0, HelperUpdateError::manifestInvalid()},
        {manifestWithout(manifestJSON(release, "1.5.0"), "releaseNotes"), 0,
         HelperUpdateError::manifestInvalid()},
        {manifestJSON(release, "1.5.0", "http://velmora.norwick.com/downloads/helper/VelmoraHelper.zip"), 0,
         HelperUpdateError::manifestInvalid()},
        {manifestJSON(release, "1.5.0", "https://velmora.norwick.com/downloads/../VelmoraHelper.zip"), 0,
         HelperUpdateError::manifestInvalid()},
        {manifestJSON(release, "1.5.0"), 1, HelperUpdateError::busy()},
    };
    for (const auto& c : cases) {
        EventRecorder local;
        openShells = c.shells;
        auto updater = makeUpdater();
        std::promise<tl::expected<void, HelperUpdateError>> promise;
        updater->begin(
            c.json, [&](const HelperUpdateEvent& e) { local(e); },
            [&](tl::expected<void, HelperUpdateError> result) { promise.set_value(std::move(result)); });
        auto future = promise.get_future();
        ASSERT_EQ(future.wait_for(kTimeout), std::future_status::ready);
        auto result = future.get();
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), c.error);
        EXPECT_EQ(local.events(), std::vector<HelperUpdateEvent>{HelperUpdateEvent::failed(c.error)});
        EXPECT_FALSE(fs::exists(installDirectory / Identity::updateStagingDirectoryName));
        expectNoRunItemsLeft();
        expectInstalled("old");
    }
    EXPECT_EQ(restarts.load(), 0);
}

TEST_F(HelperUpdaterPipelineTest, SecondBeginWhileRunningIsRefusedWithoutDisturbingTheFirst) {
    Release release = publishVersion("1.5.0");
    holdDownload();
    auto updater = makeUpdater();
    auto first = start(*updater, manifestJSON(release, "1.5.0"));

    EventRecorder secondEvents;
    std::promise<tl::expected<void, HelperUpdateError>> second;
    updater->begin(
        manifestJSON(release, "1.5.0"), [&](const HelperUpdateEvent& e) { secondEvents(e); },
        [&](tl::expected<void, HelperUpdateError> result) { second.set_value(std::move(result)); });
    auto secondFuture = second.get_future();
    ASSERT_EQ(secondFuture.wait_for(kTimeout), std::future_status::ready);
    EXPECT_EQ(secondFuture.get(), tl::unexpected(HelperUpdateError::alreadyInProgress()));
    EXPECT_TRUE(secondEvents.events().empty());

    releaseDownload();
    Outcome outcome = wait(first);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.kinds(), (std::vector<Event>{Event::startedDownloading, Event::downloaded,
                                                   Event::verified, Event::staged, Event::willRestart}));
    expectInstalled("new 1.5.0");

    // Idle again: another run is accepted.
    Release again = publishVersion("1.5.1", "again.zip");
    auto third = start(*updater, manifestJSON(again, "1.5.1"));
    EXPECT_TRUE(wait(third).result);
    expectInstalled("new 1.5.1");
}

// ---- Failures during a run: one failed event, the same error, the run's items removed

TEST_F(HelperUpdaterPipelineTest, DownloadStepErrorsAreMappedOrPassedOn) {
    Release release = publishVersion("1.5.0");
    struct Case {
        StepError stepError;
        HelperUpdateError expected;
    };
    const std::vector<Case> cases = {
        {StepError::update(HelperUpdateError::downloadFailed("Not Found")),
         HelperUpdateError::downloadFailed("Not Found")},
        {StepError::update(HelperUpdateError::signatureRejected("odd")),
         HelperUpdateError::signatureRejected("odd")},
        {StepError::other("Could not resolve host"),
         HelperUpdateError::downloadFailed("Could not resolve host")},
        {StepError::cancellation(), HelperUpdateError::cancelled()},
    };
    for (const auto& c : cases) {
        // The step leaves a partial file behind, as an interrupted transfer would.
        downloadBody = [&](const std::string&, const fs::path& destination, auto&,
                           auto&) -> tl::expected<void, StepError> {
            testing::writeFile(destination, "partial");
            return tl::unexpected(c.stepError);
        };
        Outcome outcome = runUpdate(manifestJSON(release, "1.5.0"));
        ASSERT_FALSE(outcome.result);
        EXPECT_EQ(outcome.result.error(), c.expected);
        EXPECT_EQ(outcome.events.back(), HelperUpdateEvent::failed(c.expected));
        expectNoRunItemsLeft();
        expectInstalled("old");
        recorder.clear();
    }
}

TEST_F(HelperUpdaterPipelineTest, ExpansionDirectoryThatCannotBeCreatedFailsTheDownload) {
    Release release = publishVersion("1.5.0");
    // A plain file where the staging root should be: no directory can be made below it.
    testing::writeFile(installDirectory / Identity::updateStagingDirectoryName, "in the way");
    Outcome outcome = runUpdate(manifestJSON(release, "1.5.0"));
    ASSERT_FALSE(outcome.result);
    EXPECT_EQ(outcome.result.error().kind(), HelperUpdateError::Case::downloadFailed);
    EXPECT_NE(outcome.result.error().text().find("Not a directory"), std::string::npos)
        << outcome.result.error().text();
    EXPECT_EQ(outcome.events,
              std::vector<HelperUpdateEvent>{HelperUpdateEvent::failed(outcome.result.error())});
    expectInstalled("old");
    expectNoRunItemsLeft();
}

TEST_F(HelperUpdaterPipelineTest, SizeAndDigestChecks) {
    Release release = publishVersion("1.5.0");

    Release wrongSize = release;
    wrongSize.size += 1;
    EXPECT_EQ(runUpdate(manifestJSON(wrongSize, "1.5.0")).result,
              tl::unexpected(HelperUpdateError::sizeMismatch()));

    Release wrongDigest = release;
    wrongDigest.sha256[0] = wrongDigest.sha256[0] == '0' ? '1' : '0';
    EXPECT_EQ(runUpdate(manifestJSON(wrongDigest, "1.5.0")).result,
              tl::unexpected(HelperUpdateError::checksumMismatch()));

    // A download that reports success but leaves no file: the size reads as -1.
    downloadBody = [](auto&, auto&, auto&, auto&) -> tl::expected<void, StepError> { return {}; };
    EXPECT_EQ(runUpdate(manifestJSON(release, "1.5.0")).result,
              tl::unexpected(HelperUpdateError::sizeMismatch()));
    Release unknownSize = release;
    unknownSize.size = -1;
    EXPECT_EQ(runUpdate(manifestJSON(unknownSize, "1.5.0")).result,
              tl::unexpected(HelperUpdateError::checksumMismatch()));

    expectInstalled("old");
    expectNoRunItemsLeft();
    EXPECT_EQ(restarts.load(), 0);
}

TEST_F(HelperUpdaterPipelineTest, ArchiveThatDoesNotExpandFailsWithTheExpandersText) {
    testing::writeFile(server.path() / "broken.zip", "PK\x03\x04 this is not a real archive");
    Release broken{"broken.zip", HelperUpdater::sha256(server.path() / "broken.zip").value(),
                   static_cast<std::int64_t>(fs::file_size(server.path() / "broken.zip"))};
    Outcome outcome = runUpdate(manifestJSON(broken, "1.5.0"));
    ASSERT_FALSE(outcome.result);
    EXPECT_EQ(outcome.result.error().kind(), HelperUpdateError::Case::expansionFailed);
    EXPECT_FALSE(outcome.result.error().text().empty());
    EXPECT_EQ(outcome.kinds(),
              (std::vector<Event>{Event::startedDownloading, Event::downloaded, Event::failed}));

    // A step that builds its own update error has it passed on unchanged.
    Release release = publishVersion("1.5.0");
    expandStep = [](auto&, auto&) -> tl::expected<void, StepError> {
        return tl::unexpected(StepError::update(HelperUpdateError::expansionFailed("ditto exited with 1.")));
    };
    EXPECT_EQ(runUpdate(manifestJSON(release, "1.5.0")).result,
              tl::unexpected(HelperUpdateError::expansionFailed("ditto exited with 1.")));
    expectInstalled("old");
    expectNoRunItemsLeft();
}

TEST_F(HelperUpdaterPipelineTest, BundleIsFoundAtTheTopOrOneFolderDownOnly) {
    const HelperUpdateError missing =
        HelperUpdateError::expansionFailed("The archive does not contain Velmora Helper.app.");

    Release top = publish("top.zip", [](const fs::path& tree) { testing::makeBundle(tree, "1.5.0", "top"); });
    EXPECT_TRUE(runUpdate(manifestJSON(top, "1.5.0")).result);
    expectInstalled("top");

    Release oneDown = publish("one.zip", [](const fs::path& tree) {
        testing::writeFile(tree / "README.txt", "read me");
        testing::makeBundle(tree / "Velmora Helper 1.5.1", "1.5.1", "one down");
    });
    EXPECT_TRUE(runUpdate(manifestJSON(oneDown, "1.5.1")).result);
    expectInstalled("one down");

    Release twoDown = publish("two.zip", [](const fs::path& tree) {
        testing::makeBundle(tree / "outer" / "inner", "1.5.2", "two down");
    });
    Outcome deep = runUpdate(manifestJSON(twoDown, "1.5.2"));
    EXPECT_EQ(deep.result, tl::unexpected(missing));
    EXPECT_EQ(deep.events.back(), HelperUpdateEvent::failed(missing));

    Release hidden = publish("hidden.zip", [](const fs::path& tree) {
        testing::makeBundle(tree / ".payload", "1.5.3", "hidden");
    });
    EXPECT_EQ(runUpdate(manifestJSON(hidden, "1.5.3")).result, tl::unexpected(missing));

    expectInstalled("one down");
    expectNoRunItemsLeft();
}

TEST_F(HelperUpdaterPipelineTest, SignatureStepFailures) {
    // The executable changed after its digest was recorded.
    Release tampered = publish("tampered.zip", [](const fs::path& tree) {
        fs::path bundle = testing::makeBundle(tree, "1.5.0", "tampered");
        testing::writeFile(Identity::executableURL(bundle), "#!/bin/sh\necho 'Velmora Helper 1.5.0'\n", 0755);
    });
    Outcome outcome = runUpdate(manifestJSON(tampered, "1.5.0"));
    EXPECT_EQ(outcome.result,
              tl::unexpected(HelperUpdateError::signatureRejected("The code has been modified.")));
    EXPECT_EQ(outcome.kinds(),
              (std::vector<Event>{Event::startedDownloading, Event::downloaded, Event::failed}));

    Release release = publishVersion("1.5.0");
    verifyStep = [](auto&) -> tl::expected<void, StepError> {
        return tl::unexpected(
            StepError::update(HelperUpdateError::signatureRejected("Gatekeeper rejected the update (3).")));
    };
    EXPECT_EQ(runUpdate(manifestJSON(release, "1.5.0")).result,
              tl::unexpected(HelperUpdateError::signatureRejected("Gatekeeper rejected the update (3).")));
    expectInstalled("old");
    expectNoRunItemsLeft();
}

TEST_F(HelperUpdaterPipelineTest, VersionPreflightFailures) {
    const HelperVersion expected{1, 5, 0};

    Release other = publishVersion("1.4.9", "other.zip");
    EXPECT_EQ(runUpdate(manifestJSON(other, "1.5.0")).result,
              tl::unexpected(HelperUpdateError::versionPreflightFailed(
                  expected, "Velmora Helper 1.4.9 (60), protocol 2\n")));

    Release exits =
        publish("exits.zip", [](const fs::path& tree) { testing::makeBundle(tree, "1.5.0", "exits", 3); });
    EXPECT_EQ(runUpdate(manifestJSON(exits, "1.5.0")).result,
              tl::unexpected(HelperUpdateError::versionPreflightFailed(expected, "exit 3")));

    // An executable that cannot be started: the system's text becomes the actual text.
    Release unstartable = publish("unstartable.zip", [](const fs::path& tree) {
        fs::path bundle = testing::makeBundle(tree, "1.5.0", "unstartable");
        ::chmod(Identity::executableURL(bundle).c_str(), 0644);
    });
    Outcome outcome = runUpdate(manifestJSON(unstartable, "1.5.0"));
    ASSERT_FALSE(outcome.result);
    EXPECT_EQ(outcome.result.error().kind(), HelperUpdateError::Case::versionPreflightFailed);
    EXPECT_EQ(outcome.result.error().expectedVersion(), expected);
    EXPECT_NE(outcome.result.error().text().find("posix_spawn"), std::string::npos);

    expectInstalled("old");
    expectNoRunItemsLeft();
    EXPECT_EQ(restarts.load(), 0);
}

TEST_F(HelperUpdaterPipelineTest, ShellOpenedDuringTheDownloadStopsTheRunAfterVerification) {
    Release release = publishVersion("1.5.0");
    duringDownload = [this] { openShells = 1; };
    Outcome outcome = runUpdate(manifestJSON(release, "1.5.0"));
    EXPECT_EQ(outcome.result, tl::unexpected(HelperUpdateError::busy()));
    EXPECT_EQ(outcome.kinds(), (std::vector<Event>{Event::startedDownloading, Event::downloaded,
                                                   Event::verified, Event::failed}));
    expectInstalled("old");
    expectNoRunItemsLeft();
    EXPECT_EQ(restarts.load(), 0);
}

TEST_F(HelperUpdaterPipelineTest, MoveOrSwapThatFailsReportsReplaceFailedAndKeepsTheOldBundle) {
    Release release = publishVersion("1.5.0");
    // Someone removes the expanded bundle between verification and the move.
    recorder.onEvent = [this](const HelperUpdateEvent& e) {
        if (e.kind() != Event::verified) return;
        for (const auto& work :
             fs::directory_iterator(installDirectory / Identity::updateStagingDirectoryName))
            fs::remove_all(work.path() / "expanded");
    };
    Outcome moved = runUpdate(manifestJSON(release, "1.5.0"));
    ASSERT_FALSE(moved.result);
    EXPECT_EQ(moved.result.error().kind(), HelperUpdateError::Case::replaceFailed);
    EXPECT_NE(moved.result.error().text().find("No such file or directory"), std::string::npos);
    EXPECT_EQ(moved.kinds(), (std::vector<Event>{Event::startedDownloading, Event::downloaded,
                                                 Event::verified, Event::failed}));
    expectInstalled("old");
    expectNoRunItemsLeft();
}

TEST_F(HelperUpdaterPipelineTest, SwapThatFailsReportsReplaceFailedAndKeepsTheOldBundle) {
    Release release = publishVersion("1.5.0");
    // The staged bundle vanishes between staging and the swap.
    recorder.onEvent = [this](const HelperUpdateEvent& e) {
        if (e.kind() != Event::staged) return;
        for (const auto& entry : fs::directory_iterator(installDirectory))
            if (entry.path().filename().string().starts_with(Identity::stagedBundlePrefix))
                fs::remove_all(entry.path());
    };
    Outcome outcome = runUpdate(manifestJSON(release, "1.5.0"));
    ASSERT_FALSE(outcome.result);
    EXPECT_EQ(outcome.result.error().kind(), HelperUpdateError::Case::replaceFailed);
    EXPECT_EQ(outcome.kinds(), (std::vector<Event>{Event::startedDownloading, Event::downloaded,
                                                   Event::verified, Event::staged, Event::failed}));
    expectInstalled("old");
    expectNoRunItemsLeft();
    EXPECT_EQ(restarts.load(), 0);
}

// ---- Cancellation

TEST_F(HelperUpdaterPipelineTest, CancelDuringTheDownloadEndsTheRunCancelled) {
    Release release = publishVersion("1.5.0");
    for (bool honoured : {true, false}) {
        honourCancellation = honoured;
        holdDownload();
        auto updater = makeUpdater();
        auto future = start(*updater, manifestJSON(release, "1.5.0"));
        std::promise<void> recorded;
        updater->cancel([&] { recorded.set_value(); });
        ASSERT_EQ(recorded.get_future().wait_for(kTimeout), std::future_status::ready);
        releaseDownload();
        Outcome outcome = wait(future);
        EXPECT_EQ(outcome.result, tl::unexpected(HelperUpdateError::cancelled()));
        EXPECT_EQ(outcome.events.back(), HelperUpdateEvent::failed(HelperUpdateError::cancelled()));
        for (const auto& e : outcome.events) EXPECT_NE(e.kind(), Event::verified);
        expectInstalled("old");
        expectNoRunItemsLeft();
        recorder.clear();
    }
}

TEST_F(HelperUpdaterPipelineTest, CancelDuringExpansionTakesEffectAtTheNextCheckpoint) {
    Release release = publishVersion("1.5.0");
    auto expand = expandStep;
    bool signatureChecked = false;
    expandStep = [&, expand](const fs::path& archive, const fs::path& destination) {
        current->cancel();
        return expand(archive, destination);
    };
    verifyStep = [&](auto&) -> tl::expected<void, StepError> {
        signatureChecked = true;
        return {};
    };
    Outcome outcome = runUpdate(manifestJSON(release, "1.5.0"));
    EXPECT_EQ(outcome.result, tl::unexpected(HelperUpdateError::cancelled()));
    EXPECT_FALSE(signatureChecked);
    expectInstalled("old");
    expectNoRunItemsLeft();
}

TEST_F(HelperUpdaterPipelineTest, CancelAfterVerifiedOrWithNoRunHasNoEffect) {
    auto idle = makeUpdater();
    std::promise<void> done;
    idle->cancel([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(kTimeout), std::future_status::ready);
    EXPECT_FALSE(fs::exists(installDirectory / Identity::updateStagingDirectoryName));

    Release release = publishVersion("1.5.0");
    recorder.onEvent = [this](const HelperUpdateEvent& e) {
        if (e.kind() == Event::verified) current->cancel();
    };
    Outcome outcome = runUpdate(manifestJSON(release, "1.5.0"));
    EXPECT_TRUE(outcome.result);
    expectInstalled("new 1.5.0");
    EXPECT_EQ(restarts.load(), 1);
    expectNoRunItemsLeft();
}

TEST_F(HelperUpdaterPipelineTest, UpdaterReleasedDuringTheDownloadEndsTheRunCancelledAndCleansUp) {
    Release release = publishVersion("1.5.0");
    holdDownload();
    auto updater = makeUpdater();
    auto future = start(*updater, manifestJSON(release, "1.5.0"));
    // Wait until the run has made its work directory, then let go of the only owner.
    for (int i = 0; i < 10000 && recorder.events().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(recorder.events().empty());
    std::weak_ptr<HelperUpdater> weak = updater;
    updater.reset();
    current = nullptr;
    // The stage that started the download may still hold it for a moment.
    for (int i = 0; i < 10000 && !weak.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(weak.expired());
    releaseDownload();
    Outcome outcome = wait(future);
    EXPECT_EQ(outcome.result, tl::unexpected(HelperUpdateError::cancelled()));
    expectInstalled("old");
    expectNoRunItemsLeft();
}

// ---- Class-level pieces

TEST(HelperUpdaterSha256Test, MatchesKnownDigestsAndOpenSSLOneShot) {
    TemporaryDirectory dir;
    testing::writeFile(dir.path() / "abc", "abc");
    EXPECT_EQ(HelperUpdater::sha256(dir.path() / "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    testing::writeFile(dir.path() / "empty", "");
    EXPECT_EQ(HelperUpdater::sha256(dir.path() / "empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    // Spans several 1 MiB reads and ends mid-chunk.
    std::string big(3 * (1 << 20) + 12345, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    testing::writeFile(dir.path() / "big", big);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ASSERT_EQ(EVP_Digest(big.data(), big.size(), digest, &length, EVP_sha256(), nullptr), 1);
    std::string expected;
    char hex[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        expected += hex;
    }
    EXPECT_EQ(HelperUpdater::sha256(dir.path() / "big"), expected);

    EXPECT_EQ(HelperUpdater::sha256(dir.path() / "missing"), std::nullopt);
    // A directory opens but every read fails: the digest of no bytes.
    EXPECT_EQ(HelperUpdater::sha256(dir.path()), HelperUpdater::sha256(dir.path() / "empty"));
}

TEST(HelperUpdaterParseTest, PicksTheFirstDottedVersionWord) {
    EXPECT_EQ(HelperUpdater::parseReportedVersion("Velmora Helper 1.4.2 (57), protocol 2\n"),
              (HelperVersion{1, 4, 2}));
    EXPECT_EQ(HelperUpdater::parseReportedVersion("3"), std::nullopt);
    EXPECT_EQ(HelperUpdater::parseReportedVersion("exit 3"), std::nullopt);
    EXPECT_EQ(HelperUpdater::parseReportedVersion(""), std::nullopt);
    EXPECT_EQ(HelperUpdater::parseReportedVersion("build 7 v1.2 2.5"), (HelperVersion{2, 5, 0}));
    EXPECT_EQ(HelperUpdater::parseReportedVersion("1.2.3.4 9.8"), (HelperVersion{9, 8, 0}));
    // Tabs, no-break spaces and ideographic spaces separate words too.
    EXPECT_EQ(HelperUpdater::parseReportedVersion("Helper\t2.0.1"), (HelperVersion{2, 0, 1}));
    EXPECT_EQ(HelperUpdater::parseReportedVersion("Helper\xC2\xA0"
                                                  "2.0.2\xE3\x80\x80x"),
              (HelperVersion{2, 0, 2}));
    EXPECT_EQ(HelperUpdater::parseReportedVersion("v1.2.3"), std::nullopt);
}

TEST(HelperUpdaterLocateTest, LooksAtTheTopAndOneVisibleFolderDown) {
    TemporaryDirectory dir;
    EXPECT_EQ(HelperUpdater::locateBundle(dir.path()), std::nullopt);
    EXPECT_EQ(HelperUpdater::locateBundle(dir.path() / "missing"), std::nullopt);

    testing::makeBundle(dir.path() / ".hidden", "1.0.0", "x");
    testing::makeBundle(dir.path() / "a" / "b", "1.0.0", "x");
    EXPECT_EQ(HelperUpdater::locateBundle(dir.path()), std::nullopt);

    fs::path nested = testing::makeBundle(dir.path() / "folder", "1.0.0", "x");
    EXPECT_EQ(HelperUpdater::locateBundle(dir.path()), nested);

    fs::path top = testing::makeBundle(dir.path(), "1.0.0", "x");
    EXPECT_EQ(HelperUpdater::locateBundle(dir.path()), top);
}

TEST(HelperUpdaterLeftoversTest, RemovesTheStagingRootAndStagedBundles) {
    TemporaryDirectory home;
    fs::path install = Identity::installDirectoryURL(home.path());
    EXPECT_TRUE(HelperUpdater::removeLeftovers(install).empty());  // no install directory at all

    testing::makeBundle(install, "1.4.0", "installed");
    testing::writeFile(install / ".DS_Store", "keep");
    EXPECT_TRUE(HelperUpdater::removeLeftovers(install).empty());

    fs::path root = install / Identity::updateStagingDirectoryName;
    testing::writeFile(root / "RUN" / "expanded" / "file", "x");
    fs::path stagedA = testing::makeBundle(install / ".installing-A", "1.5.0", "a").parent_path();
    fs::path stagedB = install / ".installing-B";
    testing::writeFile(stagedB, "a stray file");

    auto handled = HelperUpdater::removeLeftovers(install);
    ASSERT_EQ(handled.size(), 3u);
    EXPECT_EQ(handled.front(), root);
    EXPECT_EQ(std::set<fs::path>(handled.begin() + 1, handled.end()), (std::set<fs::path>{stagedA, stagedB}));
    EXPECT_FALSE(fs::exists(root));
    EXPECT_FALSE(fs::exists(stagedA));
    EXPECT_FALSE(fs::exists(fs::symlink_status(stagedB)));
    EXPECT_TRUE(fs::exists(install / ".DS_Store"));
    EXPECT_TRUE(fs::exists(install / Identity::bundleFileName));
}

TEST(HelperUpdaterLeftoversTest, ListsAStagingRootItCannotRemove) {
    TemporaryDirectory home;
    fs::path install = home.path() / "install";
    fs::path root = install / Identity::updateStagingDirectoryName;
    testing::writeFile(root / "RUN" / "archive.zip", "x");
    for (const fs::path& p : {home.path(), install, root, root / "RUN"}) ::chmod(p.c_str(), 0755);

    // Owned by root, so an ordinary user can list but not remove it.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        auto handled = HelperUpdater::removeLeftovers(install);
        bool ok = handled.size() == 1 && handled.front() == root && fs::exists(root / "RUN" / "archive.zip");
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fs::exists(root / "RUN" / "archive.zip"));
}

TEST(HelperUpdaterIOTest, RunIdentifiersAreFreshCanonicalUpperCaseUUIDs) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string id = HelperUpdaterIO::makeRunIdentifier();
        ASSERT_EQ(id.size(), 36u);
        for (size_t j = 0; j < id.size(); ++j) {
            if (j == 8 || j == 13 || j == 18 || j == 23)
                EXPECT_EQ(id[j], '-');
            else
                EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(id[j])) || (id[j] >= 'A' && id[j] <= 'F'))
                    << id;
        }
        EXPECT_EQ(id[14], '4');
        EXPECT_TRUE(seen.insert(id).second);
    }
}

}  // namespace
}  // namespace velmora::core
