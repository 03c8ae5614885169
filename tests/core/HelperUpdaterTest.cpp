// The update pipeline over real files: ZIP archives of real bundles "downloaded" from a directory,
// expanded with libarchive, their recorded digest checked, their executable run for its version, and the
// installed bundle swapped. Only the transfer itself is stood in for.

#include "core/HelperUpdater.h"

#include <gtest/gtest.h>

#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "kit/VelmoraHelperIdentity.h"
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
                        const std::function<void(nlohmann::json&)>& edit = {}) {
        fs::path tree = server.path() / ("tree-" + name), zip = server.path() / name;
        fs::create_directories(tree);
        layout(tree);
        testing::makeZip(tree, zip);
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
            [this](const std::string& url, const fs::path& destination, auto progress, auto,
                   auto completion) {
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
            [](const fs::path& archive, const fs::path& destination) -> tl::expected<void, StepError> {
                if (auto expanded = testing::expandZip(archive, destination); !expanded)
                    return tl::unexpected(StepError::other(expanded.error()));
                return {};
            },
            [](const fs::path& bundle) -> tl::expected<void, StepError> {
                if (auto checked = testing::checkRecordedDigest(bundle); !checked)
                    return tl::unexpected(StepError::other(checked.error()));
                return {};
            },
            [](const fs::path& bundle) -> tl::expected<std::string, StepError> {
                auto reported = testing::runVersion(bundle);
                if (!reported) return tl::unexpected(StepError::other(reported.error()));
                return *reported;
            },
            [this] { return openShells.load(); }, [this] { ++restarts; });
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

    void expectInstalled(const std::string& marker) {
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
};

TEST_F(HelperUpdaterTest, SuccessfulRunReportsEachStepWithRunningTotalsAndSwapsTheBundle) {
    auto manifest = publishVersion("a.zip", "1.5.0");
    auto size = nlohmann::json::parse(manifest)["download"]["size"].get<std::int64_t>();
    auto outcome = run(manifest);
    ASSERT_TRUE(outcome.result) << outcome.result.error().summary();
    EXPECT_EQ(outcome.kinds, (std::vector<Event>{Event::startedDownloading, Event::downloaded,
                                                 Event::verified, Event::staged, Event::willRestart}));
    EXPECT_EQ(outcome.events.front(), HelperUpdateEvent::startedDownloading(size));
    EXPECT_EQ(outcome.events[outcome.events.size() - 4], HelperUpdateEvent::downloaded(size));
    EXPECT_EQ(restarts.load(), 1);
    expectInstalled("new");
    EXPECT_EQ(testing::runVersion(installed).value(), "Velmora Helper 1.5.0 (60), protocol 2\n");
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
    };
    const Case cases[] = {
        {"{\"schemaVersion\":2", E::manifestInvalid(), {Event::failed}},
        {publish("h.zip", bundle(""),
                 [](auto& m) { m["download"]["url"] = "http://velmora.norwick.com/downloads/helper/h.zip"; }),
         E::manifestInvalid(),
         {Event::failed}},
        {publish("s.zip", bundle(""),
                 [](auto& m) { m["download"]["size"] = m["download"]["size"].template get<int>() + 1; }),
         E::sizeMismatch(), downloaded},
        {publish("d.zip", bundle(""), [](auto& m) { m["download"]["sha256"] = std::string(64, '0'); }),
         E::checksumMismatch(), downloaded},
        {publish("f.zip", bundle("")), E::downloadFailed("Not Found"), downloaded,
         tl::unexpected(StepError::update(E::downloadFailed("Not Found")))},
        {publish("c.zip", bundle("")), E::cancelled(), downloaded, tl::unexpected(StepError::cancellation())},
        {publish("deep.zip", bundle("a/b")),
         E::expansionFailed("The archive does not contain Velmora Helper.app."), downloaded},
        {publish("t.zip",
                 [](const fs::path& tree) {
                     testing::writeFile(Identity::executableURL(testing::makeBundle(tree, "1.5.0", "t")),
                                        "#!/bin/sh\necho 'Velmora Helper 1.5.0'\n", 0755);
                 }),
         E::signatureRejected("The code has been modified."), downloaded},
        {publishVersion("v.zip", "1.4.9"),
         E::versionPreflightFailed({1, 5, 0}, "Velmora Helper 1.4.9 (60), protocol 2\n"), downloaded},
        {publishVersion("x.zip", "1.5.0", 3), E::versionPreflightFailed({1, 5, 0}, "exit 3"), downloaded},
        {publish("b.zip", bundle("")), E::busy(), verified, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error.summary());
        downloadResult = c.download;
        openShells = 0;
        openShellsDuringDownload = c.shellOpens;
        auto outcome = run(c.manifest);
        EXPECT_EQ(outcome.result, tl::unexpected(c.error));
        EXPECT_EQ(outcome.kinds, c.kinds);
        EXPECT_EQ(outcome.events.back(), HelperUpdateEvent::failed(c.error));
        expectInstalled("old");
    }
    openShells = 1;  // shells open at the start: refused before anything is touched
    EXPECT_EQ(run(publishVersion("o.zip", "1.5.0")).result, tl::unexpected(E::busy()));
    EXPECT_EQ(restarts.load(), 0);
}

}  // namespace
}  // namespace velmora::core
