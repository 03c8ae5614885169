// `update MANIFEST-FILE`: hands a release manifest to the helper and shows the update's progress.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kit/HelperErrors.h"
#include "kit/HelperReleaseManifest.h"
#include "platform/UniqueFd.h"
#include "tools/velmora-shell/Commands.h"

namespace velmora::shell {

namespace {

using Clock = std::chrono::steady_clock;
using kit::HelperUpdateError;
using kit::HelperUpdateEvent;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kPlainSteps = 10;
// The widest figures beside the bar ("  1023.9 MiB / 1023.9 MiB  100%  1023.9 MiB/s"): the bar keeps
// its length while they grow.
constexpr int kFiguresWidth = 46;

std::string formatBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

// Renders the update's events on standard error: one redrawn bar on a terminal, plain lines otherwise
// (a line per tenth of the download). Events arrive one at a time on the connection's strand; the
// lock is for the main thread's last words.
class UpdateReport {
  public:
    explicit UpdateReport(bool terminal) : terminal_(terminal) {}

    void handle(const HelperUpdateEvent& event) {
        std::lock_guard lock(mutex_);
        switch (event.kind()) {
            case HelperUpdateEvent::Case::startedDownloading:
                total_ = event.byteCount();
                start_ = Clock::now();
                if (!terminal_) line("Downloading " + std::to_string(total_) + " bytes");
                draw(0);
                break;
            case HelperUpdateEvent::Case::downloaded:
                draw(event.byteCount());
                break;
            case HelperUpdateEvent::Case::verified:
                // Checked, so all of it arrived, even where the last progress notifications were dropped.
                if (received_ < total_) draw(total_);
                line("Verified");
                break;
            case HelperUpdateEvent::Case::staged:
                line("Staged");
                break;
            case HelperUpdateEvent::Case::willRestart:
                restarting_ = true;
                line("Restarting the helper");
                break;
            case HelperUpdateEvent::Case::failed:
                endBar();
                reported_ = event.error();
                break;
        }
    }
    void finish() {
        std::lock_guard lock(mutex_);
        endBar();
    }
    bool restarting() {
        std::lock_guard lock(mutex_);
        return restarting_;
    }
    std::optional<HelperUpdateError> reportedFailure() {
        std::lock_guard lock(mutex_);
        return reported_;
    }

  private:
    void line(const std::string& text) {
        endBar();
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void endBar() {
        if (barShown_) std::fputc('\n', stderr);
        barShown_ = false;
    }
    void draw(std::int64_t received) {
        received_ = received;
        auto now = Clock::now();
        double seconds = std::chrono::duration<double>(now - start_).count();
        int percent =
            total_ > 0 ? static_cast<int>(std::clamp<double>(100.0 * received / total_, 0, 100)) : 0;
        std::string rate = seconds > 0.05 ? formatBytes(received / seconds) + "/s" : "";
        if (!terminal_) {
            // A line each time another tenth has arrived, and once at the end.
            int step = percent * kPlainSteps / 100;
            if (received == 0 || lastStep_ > kPlainSteps || (step <= lastStep_ && received != total_)) return;
            lastStep_ = received == total_ ? kPlainSteps + 1 : step;
            std::fprintf(stderr, "Downloaded %" PRId64 " of %" PRId64 " bytes (%d%%%s)\n", received, total_,
                         percent, rate.empty() ? "" : (", " + rate).c_str());
            return;
        }
        if (barShown_ && received != total_ && now - lastDraw_ < kRedrawInterval) return;
        lastDraw_ = now;
        std::string figures = "  " + formatBytes(static_cast<double>(received)) + " / " +
                              formatBytes(static_cast<double>(total_)) + "  " + std::to_string(percent) +
                              "%" + (rate.empty() ? "" : "  " + rate);
        winsize size{};
        int columns = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
        int width = std::clamp(columns - kFiguresWidth - 3, 0, 50);
        int filled = width * percent / 100;
        std::string bar =
            width > 0 ? "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]" : "";
        std::fprintf(stderr, "\r\033[K%s%s", bar.c_str(), figures.c_str());
        std::fflush(stderr);
        barShown_ = true;
    }

    const bool terminal_;
    std::mutex mutex_;
    std::int64_t total_ = 0;
    std::int64_t received_ = 0;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_{};
    int lastStep_ = 0;
    bool barShown_ = false;
    bool restarting_ = false;
    std::optional<HelperUpdateError> reported_;
};

int statusFor(const HelperUpdateError& error) {
    using Case = HelperUpdateError::Case;
    return error.kind() == Case::busy || error.kind() == Case::alreadyInProgress ? exitStatus::tryAgain
                                                                                 : exitStatus::failed;
}

tl::expected<std::string, Outcome> readManifest(const std::string& path) {
    platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string contents;
    char buffer[65536];
    ssize_t n = 0;
    while (file.valid() && (n = ::read(file.get(), buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        contents.append(buffer, static_cast<size_t>(n));
    }
    if (!file.valid() || n < 0)
        return tl::unexpected(
            failure("cannot read the manifest " + path + ": " + std::strerror(errno), exitStatus::noInput));
    if (auto manifest = kit::HelperReleaseManifest::decode(contents); !manifest)
        return tl::unexpected(
            failure("the manifest " + path + " is not a release manifest: " + manifest.error().description,
                    exitStatus::dataError));
    return contents;
}

}  // namespace

Outcome runUpdate(const HelperAddress& address, const std::string& manifestFile) {
    auto manifest = readManifest(manifestFile);
    if (!manifest) return manifest.error();
    auto report = std::make_shared<UpdateReport>(::isatty(STDERR_FILENO) == 1);
    ClientHandlers handlers;
    handlers.updateEvent = [report](const HelperUpdateEvent& event) { report->handle(event); };
    auto connection = connectToHelper(address, std::move(handlers));
    if (!connection) return connection.error();
    auto result = callAndWait<kit::Blob>(
        **connection, [&](kit::VelmoraHelperXPCProtocol& helper, kit::Reply<kit::Blob> reply) {
            helper.beginSelfUpdate(*manifest, std::move(reply));
        });
    (*connection)->invalidate();
    report->finish();
    if (!result) {
        using Kind = kit::xpc::ConnectionError::Kind;
        // A helper that restarts into the new version ends without replying.
        if (result.error().kind == Kind::invalidated && report->restarting()) return {};
        if (auto reported = report->reportedFailure())
            return failure(reported->summary(), statusFor(*reported));
        if (result.error().kind == Kind::remoteError) return failure(result.error().description);
        return failure(describe(result.error()));
    }
    auto& blob = std::get<0>(*result);
    if (!blob) return {};
    auto error = HelperUpdateError::decode(*blob);
    if (!error) return failure("the update failed, with an unreadable reason: " + error.error().description);
    return failure(error->summary(), statusFor(*error));
}

}  // namespace velmora::shell
