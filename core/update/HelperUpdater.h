#pragma once

// The self-update pipeline: from a release manifest to the new bundle swapped into the install
// directory and a restart scheduled.
//
// The pipeline does no network, process or code-signing work itself; those steps are injected
// through Dependencies. It owns the order of the steps, every check between them, the files of a
// run, the events, the errors, cancellation and the clean-up.
//
// Executor: every operation (begin, cancel, each stage of a run) runs on one serial queue of the
// dispatch layer, private to the updater. A strand with continuations gives exactly what the
// pipeline needs: one operation at a time, and an executor that is free while a run waits for its
// download, so that a cancel or a second begin is served meanwhile. A dedicated thread would idle
// for the helper's whole life to serve one rare request. The synchronous steps (expand, signature,
// version, digest, file moves) hold the queue, and one of the pool's threads, until they return.
//
// A run gives up the queue after the download and again before the checks at the expand and the
// signature steps, so a cancel that arrives during a long step takes effect at the next checkpoint.
// It does not give it up between `verified` and the last checkpoint: once a client has seen
// `verified`, its cancel no longer stops the run.
//
// File layout of one run (RUN is a fresh upper-case UUID):
//   install/Updates/RUN/                 work directory
//   install/Updates/RUN/expanded/        the archive's contents
//   install/Updates/RUN/<fileName>       the downloaded archive (a manifest whose file name is not one
//                                        plain name is refused as manifestInvalid before any of this)
//   install/.installing-RUN              the new bundle, moved beside the installed one
//   install/Velmora Helper.app           the installed bundle, swapped in one step
// Every end of a run removes the work directory and the staged name; the staging root stays.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <variant>
#include <vector>

#include "kit/HelperErrors.h"
#include "kit/HelperReleaseManifest.h"
#include "kit/HelperVersion.h"
#include "platform/Dispatch.h"

namespace velmora::core {

class HelperUpdater : public std::enable_shared_from_this<HelperUpdater> {
  public:
    // How an injected step failed: the run was cancelled, the step built an update error of its own
    // (passed on unchanged), or something else went wrong (its description is wrapped in the error
    // case of the step).
    struct StepError {
        struct Cancellation {
            friend bool operator==(const Cancellation&, const Cancellation&) = default;
        };
        std::variant<Cancellation, kit::HelperUpdateError, std::string> reason;

        static StepError cancellation() { return StepError{Cancellation{}}; }
        static StepError update(kit::HelperUpdateError error) { return StepError{std::move(error)}; }
        static StepError other(std::string description) { return StepError{std::move(description)}; }

        friend bool operator==(const StepError&, const StepError&) = default;
    };

    using ProgressHandler = std::function<void(std::int64_t receivedBytes)>;
    // True once the run has been asked to stop; a download may poll it to end early.
    using CancellationProbe = std::function<bool()>;
    using DownloadCompletion = std::function<void(tl::expected<void, StepError>)>;

    // The six injected steps. Each may be called from any thread and must be safe to share. A step that
    // throws fails the way an error of its own does, described by the exception's text; a throwing
    // openShellCount counts as a shell open, and a throwing scheduleRestart ends the run with
    // replaceFailed, the new bundle installed.
    struct Dependencies {
        // Fetch `source` and leave its bytes in a file at exactly `destination`; a body longer than
        // `maximumBytes` (the published size) is stopped there as sizeMismatch. Report the running
        // total of bytes received through `progress`, as often as it likes, from any thread. Call
        // `completion` exactly once, from any thread, when done, and no `progress` after it.
        using Download = std::function<void(
            const std::string& source, const std::filesystem::path& destination, std::int64_t maximumBytes,
            ProgressHandler progress, CancellationProbe isCancelled, DownloadCompletion completion)>;
        // Unpack `archive` into the existing directory `destination`.
        using Expand = std::function<tl::expected<void, StepError>(const std::filesystem::path& archive,
                                                                   const std::filesystem::path& destination)>;
        // Accept or reject the bundle's code signature.
        using VerifySignature =
            std::function<tl::expected<void, StepError>(const std::filesystem::path& bundle)>;
        // Run the bundle's helper once and return what it prints as its version (free text).
        using ReportedVersion =
            std::function<tl::expected<std::string, StepError>(const std::filesystem::path& bundle)>;
        // Shells open in the whole helper at this moment.
        using OpenShellCount = std::function<std::int64_t()>;
        // Arrange for the helper to restart into the newly installed bundle; returns at once.
        using ScheduleRestart = std::function<void()>;

        Dependencies(Download downloadStep, Expand expandStep, VerifySignature verifySignatureStep,
                     ReportedVersion reportedVersionStep, OpenShellCount openShellCountStep,
                     ScheduleRestart scheduleRestartStep)
            : download(std::move(downloadStep)),
              expand(std::move(expandStep)),
              verifySignature(std::move(verifySignatureStep)),
              reportedVersion(std::move(reportedVersionStep)),
              openShellCount(std::move(openShellCountStep)),
              scheduleRestart(std::move(scheduleRestartStep)) {}

        Download download;
        Expand expand;
        VerifySignature verifySignature;
        ReportedVersion reportedVersion;
        OpenShellCount openShellCount;
        ScheduleRestart scheduleRestart;
    };

    // Called for each event of a run, from the updater's queue and (for `downloaded`) from the
    // download's thread. Held until the run ends.
    using EventHandler = std::function<void(const kit::HelperUpdateEvent&)>;
    // Called exactly once, when the run has ended (or at once when begin refuses). Nothing means the
    // new bundle is installed and the restart has been scheduled.
    using Completion = std::function<void(tl::expected<void, kit::HelperUpdateError>)>;

    // Derives the installed bundle and the staging root from `installDirectoryURL`. Touches nothing
    // on disk.
    static std::shared_ptr<HelperUpdater> create(std::filesystem::path installDirectoryURL,
                                                 Dependencies dependencies);
    ~HelperUpdater();
    HelperUpdater(const HelperUpdater&) = delete;
    HelperUpdater& operator=(const HelperUpdater&) = delete;

    // Starts an update from the manifest bytes and returns at once. `completion` receives the
    // outcome; a refusal with alreadyInProgress emits no event, every other failure emits exactly one
    // `failed` event with the same error first. A run holds the updater weakly: if the updater goes
    // away meanwhile, the run ends cancelled at its next stage, cleans up and still completes.
    void begin(std::string manifestJSON, EventHandler events, Completion completion);

    // Asks the running update, if any, to stop at its next checkpoint. `done`, when given, is called
    // once the request has been recorded (or found nothing to stop).
    void cancel(std::function<void()> done = {});

    [[nodiscard]] const std::filesystem::path& installedBundleURL() const { return installedBundleURL_; }
    [[nodiscard]] const std::filesystem::path& installDirectoryURL() const { return installDirectoryURL_; }
    [[nodiscard]] const std::filesystem::path& stagingRootURL() const { return stagingRootURL_; }

    // Removes the staging root and every staged bundle that earlier runs left in the install
    // directory and returns the items it removed; each one it could not remove is logged with the
    // reason and left out.
    static std::vector<std::filesystem::path> removeLeftovers(
        const std::filesystem::path& installDirectoryURL);

    // The helper bundle in an expanded archive: at its top, or inside one of its visible folders; the
    // bundle and that folder are real directories, not links.
    static std::optional<std::filesystem::path> locateBundle(const std::filesystem::path& directory);

    // The file's SHA-256 as 64 lower-case hexadecimal digits, read 1 MiB at a time; nothing when the
    // file cannot be opened. A read error ends the input as if the file ended there.
    static std::optional<std::string> sha256(const std::filesystem::path& file);

    // The first white-space separated word that parses as a version and contains a dot.
    static std::optional<kit::HelperVersion> parseReportedVersion(std::string_view text);

  private:
    struct Run;
    using RunResult = tl::expected<void, StepError>;

    HelperUpdater(std::filesystem::path installDirectoryURL, Dependencies dependencies);

    void beginOnQueue(std::string manifestJSON, EventHandler events, Completion completion);
    // Posts `stage` to the run's queue; a run whose updater is gone by then ends cancelled.
    static void schedule(const std::shared_ptr<Run>& run,
                         void (HelperUpdater::*stage)(const std::shared_ptr<Run>&));
    static void finish(HelperUpdater* updater, const std::shared_ptr<Run>& run, RunResult result);

    // The stages of a run, each one task on the queue; they meet at the checkpoints.
    void startStage(const std::shared_ptr<Run>& run);
    void checkDownloadStage(const std::shared_ptr<Run>& run);
    void expandStage(const std::shared_ptr<Run>& run);
    void installStage(const std::shared_ptr<Run>& run);

    RunResult startDownload(const std::shared_ptr<Run>& run);
    RunResult checkDownload(Run& run);
    RunResult expandAndLocate(Run& run);
    RunResult verifyAndInstall(Run& run);

    const std::filesystem::path installedBundleURL_;
    const std::filesystem::path installDirectoryURL_;
    const std::filesystem::path stagingRootURL_;
    const Dependencies dependencies_;
    const std::shared_ptr<platform::DispatchQueue> queue_;
    // The running update; read and written only on queue_.
    std::shared_ptr<Run> activeTask_;
};

}  // namespace velmora::core
