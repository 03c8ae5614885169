// The version preflight, the restart and the live record of the update steps.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/HelperLog.h"
#include "core/update/HelperUpdaterIO.h"
#include "kit/JsonCodec.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/Dispatch.h"
#include "platform/Process.h"

namespace velmora::core::HelperUpdaterIO {

namespace fs = std::filesystem;
using StepError = HelperUpdater::StepError;

namespace {

constexpr std::chrono::milliseconds kRestartGracePeriod{1500};

// Far more than a version line; a bundle that prints without end is cut off, not buffered.
constexpr std::size_t kVersionOutputLimit = 64 * 1024;

}  // namespace

tl::expected<std::string, std::string> reportedVersion(const fs::path& bundle) {
    std::string executable = kit::VelmoraHelperIdentity::executableURL(bundle).string();
    platform::ProcessPlan plan;
    plan.arguments = {executable, "--version"};
    plan.standardOutput = platform::StandardStream::captured();
    plan.standardError = platform::StandardStream::nullDevice();
    auto finished = platform::runProcess(plan, kVersionOutputLimit);
    if (!finished) return tl::unexpected(finished.error().reason());
    const auto& output = finished->output;
    if (finished->status.exitedWith(0))
        return kit::jsoncodec::escapeInvalidUTF8(output) == output ? output : std::string();
    return finished->status.description();
}

void scheduleRestart() {
    HelperLog::installer.info("Updated; exiting so launchd starts the new binary");
    static std::mutex lock;
    static std::unique_ptr<platform::OneShotTimer> timer;
    std::lock_guard guard(lock);
    if (timer) return;
    timer = platform::OneShotTimer::schedule(platform::DispatchQueue::utility(), kRestartGracePeriod, [] {
        std::fflush(nullptr);
        // Worker threads are still running: leave without running static destructors under them.
        std::_Exit(0);
    });
}

HelperUpdater::Dependencies liveDependencies(HelperUpdater::Dependencies::OpenShellCount openShellCount) {
    return HelperUpdater::Dependencies(
        download,
        [](const fs::path& archive, const fs::path& destination) -> tl::expected<void, StepError> {
            if (auto expanded = expand(archive, destination); !expanded)
                return tl::unexpected(StepError::update(std::move(expanded.error())));
            return {};
        },
        [](const fs::path& bundle) -> tl::expected<void, StepError> {
            if (auto verified = verifySignature(bundle); !verified)
                return tl::unexpected(StepError::update(std::move(verified.error())));
            return {};
        },
        [](const fs::path& bundle) -> tl::expected<std::string, StepError> {
            auto reported = reportedVersion(bundle);
            if (!reported) return tl::unexpected(StepError::other(std::move(reported.error())));
            return *reported;
        },
        std::move(openShellCount), scheduleRestart);
}

}  // namespace velmora::core::HelperUpdaterIO
