#include "core/update/HelperUpdater.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "codesign/OpenSSLLifetime.h"
#include "core/update/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/UniqueFd.h"

namespace velmora::core {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;
using kit::HelperUpdateError;
using kit::HelperUpdateEvent;

struct HelperUpdater::Run {
    std::weak_ptr<HelperUpdater> updater;
    std::shared_ptr<platform::DispatchQueue> queue;
    kit::HelperReleaseManifest manifest;
    EventHandler events;
    Completion completion;

    // Set by cancel() on the queue; read at the checkpoints and by the download's probe.
    std::atomic<bool> cancelRequested{false};
    // Cleared when the download reports its end, so that a late progress call or a second
    // completion is dropped.
    std::atomic<bool> downloading{false};
    std::optional<tl::expected<void, StepError>> downloadResult;

    // Empty until the run has chosen its identifier.
    fs::path workDirectory;
    fs::path expansionDirectory;
    fs::path archiveFile;
    fs::path stagedBundle;
    fs::path locatedBundle;

    [[nodiscard]] RunResult checkpoint() const {
        if (cancelRequested.load()) return tl::unexpected(StepError::cancellation());
        return {};
    }
};

namespace {

// The error of a step that failed with something other than its own update error or a cancellation.
template <typename Wrap>
HelperUpdater::StepError wrapStepError(HelperUpdater::StepError error, Wrap wrap) {
    if (auto* description = std::get_if<std::string>(&error.reason))
        return HelperUpdater::StepError::update(wrap(std::move(*description)));
    return error;
}

// Runs an injected step; what it throws becomes an unexpected error of that step, described by the
// exception's text. Nothing a step throws may reach the pool thread running the queue.
template <typename Call>
auto guarded(Call&& call) -> decltype(call()) {
    try {
        return call();
    } catch (const std::exception& exception) {
        return tl::unexpected(HelperUpdater::StepError::other(exception.what()));
    } catch (...) {
        return tl::unexpected(HelperUpdater::StepError::other("an exception of unknown type"));
    }
}

// The archive's name becomes a path inside the work directory, so it must be one plain name.
// One name the file system can hold (NAME_MAX): a longer one would fail only after the whole download.
bool isPlainFileName(std::string_view name) {
    return !name.empty() && name.size() <= NAME_MAX && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// A count that cannot be read is no proof that no shell is open.
bool noShellOpen(const HelperUpdater::Dependencies& dependencies) {
    auto count = guarded([&]() -> tl::expected<std::int64_t, HelperUpdater::StepError> {
        return dependencies.openShellCount();
    });
    return count && *count == 0;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Length of the white-space character (Unicode, UTF-8) at the start of `text`, or 0. The kit's trim
// is the one definition of white space; a character is white space when trimming it leaves nothing.
size_t whitespaceLengthAt(std::string_view text) {
    for (size_t width = 1; width <= 3 && width <= text.size(); ++width)
        if (kit::trimWhitespace(text.substr(0, width)).empty()) return width;
    return 0;
}

}  // namespace

HelperUpdater::HelperUpdater(fs::path installDirectoryURL, Dependencies dependencies)
    : installedBundleURL_(installDirectoryURL / Identity::bundleFileName),
      installDirectoryURL_(installDirectoryURL),
      stagingRootURL_(installDirectoryURL / Identity::updateStagingDirectoryName),
      dependencies_(std::move(dependencies)),
      queue_(platform::DispatchQueue::createSerial(std::string(Identity::bundleIdentifier) + ".updater")) {}

HelperUpdater::~HelperUpdater() = default;

std::shared_ptr<HelperUpdater> HelperUpdater::create(fs::path installDirectoryURL,
                                                     Dependencies dependencies) {
    return std::shared_ptr<HelperUpdater>(
        new HelperUpdater(std::move(installDirectoryURL), std::move(dependencies)));
}

void HelperUpdater::begin(std::string manifestJSON, EventHandler events, Completion completion) {
    queue_->async([self = shared_from_this(), manifestJSON = std::move(manifestJSON),
                   events = std::move(events), completion = std::move(completion)]() mutable {
        self->beginOnQueue(std::move(manifestJSON), std::move(events), std::move(completion));
    });
}

void HelperUpdater::cancel(std::function<void()> done) {
    queue_->async([weak = weak_from_this(), done = std::move(done)] {
        if (auto self = weak.lock(); self && self->activeTask_) self->activeTask_->cancelRequested = true;
        if (done) done();
    });
}

void HelperUpdater::beginOnQueue(std::string manifestJSON, EventHandler events, Completion completion) {
    if (activeTask_) {
        completion(tl::unexpected(HelperUpdateError::alreadyInProgress()));
        return;
    }
    auto refuse = [&](HelperUpdateError error) {
        events(HelperUpdateEvent::failed(error));
        completion(tl::unexpected(std::move(error)));
    };
    auto manifest = kit::HelperReleaseManifest::decode(manifestJSON);
    if (!manifest) return refuse(HelperUpdateError::manifestInvalid());
    if (!Identity::isTrustedDownloadURL(manifest->download.url) ||
        !isPlainFileName(manifest->download.fileName))
        return refuse(HelperUpdateError::manifestInvalid());
    if (!noShellOpen(dependencies_)) return refuse(HelperUpdateError::busy());

    auto run = std::make_shared<Run>();
    run->updater = weak_from_this();
    run->queue = queue_;
    run->manifest = std::move(*manifest);
    run->events = std::move(events);
    run->completion = std::move(completion);
    activeTask_ = run;
    // The run starts as a task of its own, so that the queue is free in between.
    schedule(run, &HelperUpdater::startStage);
}

void HelperUpdater::schedule(const std::shared_ptr<Run>& run,
                             void (HelperUpdater::*stage)(const std::shared_ptr<Run>&)) {
    run->queue->async([run, stage] {
        auto self = run->updater.lock();
        if (!self) return finish(nullptr, run, tl::unexpected(StepError::cancellation()));
        ((*self).*stage)(run);
    });
}

void HelperUpdater::finish(HelperUpdater* updater, const std::shared_ptr<Run>& run, RunResult result) {
    // Removal errors are ignored: the next service start clears what is left.
    if (!run->workDirectory.empty()) HelperUpdaterIO::removeItem(run->workDirectory);
    if (!run->stagedBundle.empty()) HelperUpdaterIO::removeItem(run->stagedBundle);

    std::optional<HelperUpdateError> failure;
    if (!result) {
        std::visit(
            [&](auto& reason) {
                using Reason = std::decay_t<decltype(reason)>;
                if constexpr (std::is_same_v<Reason, StepError::Cancellation>)
                    failure = HelperUpdateError::cancelled();
                else if constexpr (std::is_same_v<Reason, HelperUpdateError>)
                    failure = std::move(reason);
                else
                    failure = HelperUpdateError::downloadFailed(std::move(reason));
            },
            result.error().reason);
        run->events(HelperUpdateEvent::failed(*failure));
    }
    if (updater && updater->activeTask_ == run) updater->activeTask_.reset();

    // The event callback stays with the run until its last reference goes: a download thread may be
    // inside a progress call right now.
    auto completion = std::exchange(run->completion, nullptr);
    if (failure)
        completion(tl::unexpected(std::move(*failure)));
    else
        completion({});
}

// ---- Stages

void HelperUpdater::startStage(const std::shared_ptr<Run>& run) {
    if (auto started = startDownload(run); !started) finish(this, run, std::move(started));
}

void HelperUpdater::checkDownloadStage(const std::shared_ptr<Run>& run) {
    auto checked = checkDownload(*run);
    if (!checked) return finish(this, run, std::move(checked));
    schedule(run, &HelperUpdater::expandStage);
}

void HelperUpdater::expandStage(const std::shared_ptr<Run>& run) {
    auto expanded = expandAndLocate(*run);
    if (!expanded) return finish(this, run, std::move(expanded));
    schedule(run, &HelperUpdater::installStage);
}

void HelperUpdater::installStage(const std::shared_ptr<Run>& run) {
    finish(this, run, verifyAndInstall(*run));
}

HelperUpdater::RunResult HelperUpdater::startDownload(const std::shared_ptr<Run>& run) {
    std::string identifier = HelperUpdaterIO::makeRunIdentifier();
    run->workDirectory = stagingRootURL_ / identifier;
    run->expansionDirectory = run->workDirectory / "expanded";
    run->archiveFile = run->workDirectory / run->manifest.download.fileName;
    run->stagedBundle = installDirectoryURL_ / (std::string(Identity::stagedBundlePrefix) + identifier);

    if (auto created = HelperUpdaterIO::createDirectories(run->expansionDirectory); !created)
        return tl::unexpected(StepError::update(HelperUpdateError::downloadFailed(created.error())));

    run->events(HelperUpdateEvent::startedDownloading(run->manifest.download.size));

    run->downloading = true;
    std::weak_ptr<Run> weakRun = run;
    auto progress = [weakRun](std::int64_t received) {
        if (auto current = weakRun.lock(); current && current->downloading.load())
            current->events(HelperUpdateEvent::downloaded(received));
    };
    auto isCancelled = [weakRun] {
        auto current = weakRun.lock();
        return !current || current->cancelRequested.load();
    };
    // The completion keeps the run alive: it is how the run resumes.
    auto completion = [run](tl::expected<void, StepError> result) {
        if (!run->downloading.exchange(false)) return;
        run->downloadResult = std::move(result);
        schedule(run, &HelperUpdater::checkDownloadStage);
    };
    auto called = guarded([&]() -> RunResult {
        dependencies_.download(run->manifest.download.url, run->archiveFile, run->manifest.download.size,
                               std::move(progress), std::move(isCancelled), std::move(completion));
        return {};
    });
    // A download that reported its end before throwing has already resumed the run.
    if (called || !run->downloading.exchange(false)) return {};
    // Whatever the step left running is asked to stop.
    run->cancelRequested = true;
    return tl::unexpected(wrapStepError(std::move(called.error()), HelperUpdateError::downloadFailed));
}

HelperUpdater::RunResult HelperUpdater::checkDownload(Run& run) {
    auto downloaded = std::move(*run.downloadResult);
    run.downloadResult.reset();
    if (!downloaded)
        return tl::unexpected(
            wrapStepError(std::move(downloaded.error()), HelperUpdateError::downloadFailed));

    if (auto cancelled = run.checkpoint(); !cancelled) return cancelled;

    if (HelperUpdaterIO::fileSize(run.archiveFile) != run.manifest.download.size)
        return tl::unexpected(StepError::update(HelperUpdateError::sizeMismatch()));

    auto digest = sha256(run.archiveFile);
    if (!digest || !equalsIgnoringASCIICase(*digest, run.manifest.download.sha256))
        return tl::unexpected(StepError::update(HelperUpdateError::checksumMismatch()));
    return {};
}

HelperUpdater::RunResult HelperUpdater::expandAndLocate(Run& run) {
    if (auto cancelled = run.checkpoint(); !cancelled) return cancelled;

    if (auto expanded =
            guarded([&] { return dependencies_.expand(run.archiveFile, run.expansionDirectory); });
        !expanded)
        return tl::unexpected(wrapStepError(std::move(expanded.error()), HelperUpdateError::expansionFailed));

    auto bundle = locateBundle(run.expansionDirectory);
    if (!bundle)
        return tl::unexpected(StepError::update(HelperUpdateError::expansionFailed(
            "The archive does not contain " + std::string(Identity::bundleFileName) + ".")));
    run.locatedBundle = std::move(*bundle);
    return {};
}

HelperUpdater::RunResult HelperUpdater::verifyAndInstall(Run& run) {
    if (auto cancelled = run.checkpoint(); !cancelled) return cancelled;

    if (auto verified = guarded([&] { return dependencies_.verifySignature(run.locatedBundle); }); !verified)
        return tl::unexpected(
            wrapStepError(std::move(verified.error()), HelperUpdateError::signatureRejected));

    const kit::HelperVersion expected = run.manifest.version;
    auto reported = guarded([&] { return dependencies_.reportedVersion(run.locatedBundle); });
    if (!reported)
        return tl::unexpected(wrapStepError(std::move(reported.error()), [&](std::string description) {
            return HelperUpdateError::versionPreflightFailed(expected, std::move(description));
        }));
    auto version = parseReportedVersion(*reported);
    if (!version || *version != expected)
        return tl::unexpected(
            StepError::update(HelperUpdateError::versionPreflightFailed(expected, *reported)));

    run.events(HelperUpdateEvent::verified());

    // The last checkpoint: past it, a cancel no longer stops the run.
    if (auto cancelled = run.checkpoint(); !cancelled) return cancelled;

    // Shells opened while the archive was downloaded and checked still stop the swap.
    if (!noShellOpen(dependencies_)) return tl::unexpected(StepError::update(HelperUpdateError::busy()));

    if (auto moved = HelperUpdaterIO::moveItem(run.locatedBundle, run.stagedBundle); !moved)
        return tl::unexpected(StepError::update(HelperUpdateError::replaceFailed(moved.error())));
    run.events(HelperUpdateEvent::staged());

    if (auto replaced = HelperUpdaterIO::replaceItem(installedBundleURL_, run.stagedBundle); !replaced)
        return tl::unexpected(StepError::update(HelperUpdateError::replaceFailed(replaced.error())));
    run.events(HelperUpdateEvent::willRestart());

    auto scheduled = guarded([&]() -> RunResult {
        dependencies_.scheduleRestart();
        return {};
    });
    if (!scheduled)
        return tl::unexpected(wrapStepError(std::move(scheduled.error()), [](std::string description) {
            return HelperUpdateError::replaceFailed(
                "The new helper is installed, but its restart could not be scheduled: " + description);
        }));
    return {};
}

// ---- Class-level

std::optional<std::string> HelperUpdater::sha256(const fs::path& file) {
    platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return std::nullopt;

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;

    constexpr size_t kChunk = 1 << 20;
    auto buffer = std::make_unique<unsigned char[]>(kChunk);
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer.get(), kChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (EVP_DigestUpdate(context.get(), buffer.get(), static_cast<size_t>(n)) != 1) return std::nullopt;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;

    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(digits[digest[i] >> 4]);
        text.push_back(digits[digest[i] & 0x0F]);
    }
    return text;
}

std::optional<kit::HelperVersion> HelperUpdater::parseReportedVersion(std::string_view text) {
    while (!text.empty()) {
        if (size_t space = whitespaceLengthAt(text)) {
            text.remove_prefix(space);
            continue;
        }
        size_t end = 0;
        while (end < text.size() && whitespaceLengthAt(text.substr(end)) == 0) ++end;
        std::string_view token = text.substr(0, end);
        text.remove_prefix(end);
        if (token.find('.') == std::string_view::npos) continue;
        if (auto version = kit::HelperVersion::parse(token)) return version;
    }
    return std::nullopt;
}

}  // namespace velmora::core
