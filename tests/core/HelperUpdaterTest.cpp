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

    std::future<tl::expected<void, HelperUpdateError>> start(HelperUpdater& updater, std::string json,
                                                             EventRecorder* into = nullptr) {
        auto promise = std::make_shared<std::promise<tl::expected<void, HelperUpdateError>>>();
        auto future = promise->get_future();
        EventRecorder& events = into ? *into : recorder;
        updater.begin(
            std::move(json), [&events](const HelperUpdateEvent& e) { events(e); },
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

    enum class Match { exact, fragment };  // fragment: same case, and its text inside the reported one

    // Runs `json` expecting `error` as the result and the last event, the old bundle kept and the run's
    // items removed; then puts the steps back as they were.
    void expectRunFails(const std::string& json, const HelperUpdateError& error, Match match = Match::exact,
                        const std::vector<Event>& kinds = {}) {
        SCOPED_TRACE(error.summary());
        Outcome outcome = runUpdate(json);
        ASSERT_FALSE(outcome.result);
        const HelperUpdateError& reported = outcome.result.error();
        if (match == Match::fragment) {
            EXPECT_EQ(reported.kind(), error.kind());
            EXPECT_EQ(reported.expectedVersion(), error.expectedVersion());
            EXPECT_FALSE(reported.text().empty());
            EXPECT_NE(reported.text().find(error.text()), std::string::npos) << reported.text();
        } else {
            EXPECT_EQ(reported, error);
        }
        EXPECT_EQ(outcome.events.back(), HelperUpdateEvent::failed(reported));
        if (!kinds.empty()) {
            EXPECT_EQ(outcome.kinds(), kinds);
        }
        expectInstalled("old");
        expectNoRunItemsLeft();
        downloadBody = [this](auto&&... args) { return copyFromServer(args...); };
        expandStep = defaultExpandStep;
        verifyStep = defaultVerifyStep;
        duringDownload = nullptr;
        recorder.onEvent = nullptr;
        openShells = 0;
        recorder.clear();
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
        defaultExpandStep;
    std::function<tl::expected<void, StepError>(const fs::path&)> verifyStep = defaultVerifyStep;
    static tl::expected<void, StepError> defaultExpandStep(const fs::path& archive,
                                                           const fs::path& destination) {
        if (auto expanded = testing::expandZip(archive, destination); !expanded)
            return tl::unexpected(StepError::other(expanded.error()));
        return {};
    }
    static tl::expected<void, StepError> defaultVerifyStep(const fs::path& bundle) {
        if (auto checked = testing::checkRecordedDigest(bundle); !checked)
            return tl::unexpected(StepError::other(checked.error()));
        return {};
    }
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

TEST_F(HelperUpdaterPipelineTest, InstallsOlderReleasesFreshInstallsAndBundlesOneFolderDown) {
    Release older = publishVersion("1.0.3", "older.zip");
    ASSERT_TRUE(runUpdate(manifestJSON(older, "1.0.3")).result);
    expectInstalled("new 1.0.3");

    fs::remove_all(installedBundle);
    Release top = publish("top.zip", [](const fs::path& tree) { testing::makeBundle(tree, "1.6.0", "top"); });
    ASSERT_TRUE(runUpdate(manifestJSON(top, "1.6.0")).result);
    expectInstalled("top");

    Release oneDown = publish("one.zip", [](const fs::path& tree) {
        testing::writeFile(tree / "README.txt", "read me");
        testing::makeBundle(tree / "Velmora Helper 1.6.1", "1.6.1", "one down");
    });
    ASSERT_TRUE(runUpdate(manifestJSON(oneDown, "1.6.1")).result);
    expectInstalled("one down");
    EXPECT_EQ(restarts.load(), 3);
    expectNoRunItemsLeft();
}

TEST_F(HelperUpdaterPipelineTest, UpperCaseDigestMatchesAndTheInstallerRecordIsIgnored) {
    Release release = publishVersion("1.5.0");
    std::transform(release.sha256.begin(), release.sha256.end(), release.sha256.begin(), ::toupper);
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
    const std::string good = manifestJSON(release, "1.5.0");
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"{\"schemaVersion\":2", 0},
        {manifestWithout(good, "releaseNotes"), 0},
        {manifestJSON(release, "1.5.0", "http://velmora.norwick.com/downloads/helper/VelmoraHelper.zip"), 0},
        {manifestJSON(release, "1.5.0", "https://velmora.norwick.com/downloads/../VelmoraHelper.zip"), 0},
        {good, 1},
    };
    for (const auto& [json, shells] : cases) {
        SCOPED_TRACE(json);
        const auto error = shells ? HelperUpdateError::busy() : HelperUpdateError::manifestInvalid();
        openShells = shells;
        Outcome outcome = runUpdate(json);
        EXPECT_EQ(outcome.result, tl::unexpected(error));
        EXPECT_EQ(outcome.events, std::vector<HelperUpdateEvent>{HelperUpdateEvent::failed(error)});
        EXPECT_FALSE(fs::exists(installDirectory / Identity::updateStagingDirectoryName));
        expectNoRunItemsLeft();
        expectInstalled("old");
        recorder.clear();
    }
    EXPECT_EQ(restarts.load(), 0);
}

TEST_F(HelperUpdaterPipelineTest, SecondBeginWhileRunningIsRefusedWithoutDisturbingTheFirst) {
    Release release = publishVersion("1.5.0");
    holdDownload();
    auto updater = makeUpdater();
    auto first = start(*updater, manifestJSON(release, "1.5.0"));

    EventRecorder secondEvents;
    auto second = start(*updater, manifestJSON(release, "1.5.0"), &secondEvents);
    ASSERT_EQ(second.wait_for(kTimeout), std::future_status::ready);
    EXPECT_EQ(second.get(), tl::unexpected(HelperUpdateError::alreadyInProgress()));
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

// ---- Failures during a run: the same error in one last failed event, the run's items removed

TEST_F(HelperUpdaterPipelineTest, FailuresDuringTheRunMapToOneErrorAndKeepTheOldBundle) {
    using E = HelperUpdateError;
    const Release release = publishVersion("1.5.0");
    const std::string good = manifestJSON(release, "1.5.0");
    const std::vector<Event> afterDownload{Event::startedDownloading, Event::downloaded, Event::failed};
    const std::vector<Event> afterVerified{Event::startedDownloading, Event::downloaded, Event::verified,
                                           Event::failed};
    auto manifestOf = [&](const char* file, const std::function<void(const fs::path&)>& layout) {
        return manifestJSON(publish(file, layout), "1.5.0");
    };
    // The step leaves a partial file behind, as an interrupted transfer would.
    for (const auto& [step, error] : std::vector<std::pair<StepError, E>>{
             {StepError::update(E::downloadFailed("Not Found")), E::downloadFailed("Not Found")},
             {StepError::update(E::signatureRejected("odd")), E::signatureRejected("odd")},
             {StepError::other("Could not resolve host"), E::downloadFailed("Could not resolve host")},
             {StepError::cancellation(), E::cancelled()}}) {
        downloadBody = [stepError = step](auto&, const fs::path& destination, auto&,
                                          auto&) -> tl::expected<void, StepError> {
            testing::writeFile(destination, "partial");
            return tl::unexpected(stepError);
        };
        expectRunFails(good, error);
    }

    // A plain file where the staging root should be: no directory can be made below it.
    fs::remove(installDirectory / Identity::updateStagingDirectoryName);
    testing::writeFile(installDirectory / Identity::updateStagingDirectoryName, "in the way");
    expectRunFails(good, E::downloadFailed("Not a directory"), Match::fragment, {Event::failed});
    fs::remove(installDirectory / Identity::updateStagingDirectoryName);

    Release changed = release;
    changed.size += 1;
    expectRunFails(manifestJSON(changed, "1.5.0"), E::sizeMismatch(), Match::exact, afterDownload);
    changed = release;
    changed.sha256[0] = changed.sha256[0] == '0' ? '1' : '0';
    expectRunFails(manifestJSON(changed, "1.5.0"), E::checksumMismatch(), Match::exact, afterDownload);
    // A download that reports success but leaves no file: its size reads as -1.
    downloadBody = [](auto&, auto&, auto&, auto&) -> tl::expected<void, StepError> { return {}; };
    expectRunFails(good, E::sizeMismatch());
    downloadBody = [](auto&, auto&, auto&, auto&) -> tl::expected<void, StepError> { return {}; };
    changed = release;
    changed.size = -1;
    expectRunFails(manifestJSON(changed, "1.5.0"), E::checksumMismatch());

    testing::writeFile(server.path() / "broken.zip", "PK\x03\x04 this is not a real archive");
    Release broken{"broken.zip", HelperUpdater::sha256(server.path() / "broken.zip").value(),
                   static_cast<std::int64_t>(fs::file_size(server.path() / "broken.zip"))};
    expectRunFails(manifestJSON(broken, "1.5.0"), E::expansionFailed(""), Match::fragment, afterDownload);
    expandStep = [](auto&, auto&) -> tl::expected<void, StepError> {
        return tl::unexpected(StepError::update(E::expansionFailed("ditto exited with 1.")));
    };
    expectRunFails(good, E::expansionFailed("ditto exited with 1."));
    // The bundle is looked for at the top and one visible folder down only.
    const E missing = E::expansionFailed("The archive does not contain Velmora Helper.app.");
    expectRunFails(
        manifestOf("two.zip",
                   [](const fs::path& tree) { testing::makeBundle(tree / "a" / "b", "1.5.0", "two"); }),
        missing);
    expectRunFails(
        manifestOf("hidden.zip",
                   [](const fs::path& tree) { testing::makeBundle(tree / ".p", "1.5.0", "hidden"); }),
        missing);

    // The executable changed after its digest was recorded.
    expectRunFails(manifestOf("tampered.zip",
                              [](const fs::path& tree) {
                                  testing::writeFile(
                                      Identity::executableURL(testing::makeBundle(tree, "1.5.0", "tampered")),
                                      "#!/bin/sh\necho 'Velmora Helper 1.5.0'\n", 0755);
                              }),
                   E::signatureRejected("The code has been modified."), Match::exact, afterDownload);
    verifyStep = [](auto&) -> tl::expected<void, StepError> {
        return tl::unexpected(StepError::update(E::signatureRejected("Gatekeeper rejected the update (3).")));
    };
    expectRunFails(good, E::signatureRejected("Gatekeeper rejected the update (3)."));

    const HelperVersion expected{1, 5, 0};
    expectRunFails(manifestJSON(publishVersion("1.4.9", "other.zip"), "1.5.0"),
                   E::versionPreflightFailed(expected, "Velmora Helper 1.4.9 (60), protocol 2\n"));
    expectRunFails(
        manifestOf("exits.zip", [](const fs::path& tree) { testing::makeBundle(tree, "1.5.0", "exits", 3); }),
        E::versionPreflightFailed(expected, "exit 3"));
    // An executable that cannot be started: the system's text becomes the actual text.
    expectRunFails(
        manifestOf("unstartable.zip",
                   [](const fs::path& tree) {
                       ::chmod(Identity::executableURL(testing::makeBundle(tree, "1.5.0", "x")).c_str(),
                               0644);
                   }),
        E::versionPreflightFailed(expected, "posix_spawn"), Match::fragment);

    duringDownload = [this] { openShells = 1; };
    expectRunFails(good, E::busy(), Match::exact, afterVerified);

    // Someone removes the expanded bundle between verification and the move.
    recorder.onEvent = [this](const HelperUpdateEvent& e) {
        if (e.kind() != Event::verified) return;
        for (const auto& work :
             fs::directory_iterator(installDirectory / Identity::updateStagingDirectoryName))
            fs::remove_all(work.path() / "expanded");
    };
    expectRunFails(good, E::replaceFailed("No such file or directory"), Match::fragment, afterVerified);
    // The staged bundle vanishes between staging and the swap.
    recorder.onEvent = [this](const HelperUpdateEvent& e) {
        if (e.kind() != Event::staged) return;
        for (const auto& entry : fs::directory_iterator(installDirectory))
            if (entry.path().filename().string().starts_with(Identity::stagedBundlePrefix))
                fs::remove_all(entry.path());
    };
    expectRunFails(
        good, E::replaceFailed(""), Match::fragment,
        {Event::startedDownloading, Event::downloaded, Event::verified, Event::staged, Event::failed});
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
    for (unsigned i = 0; i < length; ++i)
        expected += {"0123456789abcdef"[digest[i] >> 4], "0123456789abcdef"[digest[i] & 15]};
    EXPECT_EQ(HelperUpdater::sha256(dir.path() / "big"), expected);

    EXPECT_EQ(HelperUpdater::sha256(dir.path() / "missing"), std::nullopt);
    // A directory opens but every read fails: the digest of no bytes.
    EXPECT_EQ(HelperUpdater::sha256(dir.path()), HelperUpdater::sha256(dir.path() / "empty"));
}

TEST(HelperUpdaterParseTest, PicksTheFirstDottedVersionWord) {
    EXPECT_EQ(HelperUpdater::parseReportedVersion("Velmora Helper 1.4.2 (57), protocol 2\n"),
              (HelperVersion{1, 4, 2}));
    for (const char* none : {"3", "exit 3", "", "v1.2.3"})
        EXPECT_EQ(HelperUpdater::parseReportedVersion(none), std::nullopt) << none;
    EXPECT_EQ(HelperUpdater::parseReportedVersion("build 7 v1.2 2.5"), (HelperVersion{2, 5, 0}));
    EXPECT_EQ(HelperUpdater::parseReportedVersion("1.2.3.4 9.8"), (HelperVersion{9, 8, 0}));
    // Tabs, no-break spaces and ideographic spaces separate words too.
    EXPECT_EQ(HelperUpdater::parseReportedVersion("Helper\t2.0.1"), (HelperVersion{2, 0, 1}));
    EXPECT_EQ(HelperUpdater::parseReportedVersion("Helper\xC2\xA0"
                                                  "2.0.2\xE3\x80\x80x"),
              (HelperVersion{2, 0, 2}));
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
