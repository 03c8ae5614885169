// The download step of a self-update, on libcurl.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "core/update/CurlLibrary.h"
#include "core/update/HelperUpdaterIO.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::core::HelperUpdaterIO {

namespace fs = std::filesystem;
using StepError = HelperUpdater::StepError;

namespace {

// No byte for this long ends the transfer; connecting counts too.
constexpr long kIdleSeconds = 60;

struct Transfer {
    platform::UniqueFd file;
    HelperUpdater::ProgressHandler progress;
    HelperUpdater::CancellationProbe isCancelled;
    std::int64_t maximumBytes = 0;
    const CurlLibrary* lib = nullptr;
    CURL* curl = nullptr;
    std::int64_t received = 0;
    long refusedStatus = 0;
    bool tooLong = false;
    bool writeFailed = false;
    int writeError = 0;
};

size_t writeBody(char* data, size_t size, size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    size_t length = size * count;
    // An error page is no part of the archive: its status decides, whatever its length.
    long status = 0;
    transfer.lib->curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        transfer.refusedStatus = status;
        return 0;
    }
    // A body longer than published is refused as soon as it shows, before it can fill the disk.
    if (static_cast<std::int64_t>(length) > transfer.maximumBytes - transfer.received) {
        transfer.tooLong = true;
        return 0;
    }
    for (size_t written = 0; written < length;) {
        ssize_t n = ::write(transfer.file.get(), data + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            transfer.writeFailed = true;
            transfer.writeError = n < 0 ? errno : ENOSPC;
            return 0;  // ends the transfer with CURLE_WRITE_ERROR
        }
        written += static_cast<size_t>(n);
    }
    // The progress callback repeats equal totals; bodies are counted here, where each byte passes once.
    transfer.received += static_cast<std::int64_t>(length);
    transfer.progress(transfer.received);
    return length;
}

// Called at least once a second, also while nothing arrives, so a cancel takes effect promptly.
int checkCancelled(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(context)->isCancelled() ? 1 : 0;
}

// The transfer itself, on its own thread. The result leaves the temporary file in place.
tl::expected<void, StepError> transfer(const std::string& source, Transfer& state) {
    auto library = CurlLibrary::get();
    if (!library)
        return tl::unexpected(StepError::update(kit::HelperUpdateError::downloadFailed(library.error())));
    const CurlLibrary& lib = **library;
    std::unique_ptr<CURL, decltype(lib.curl_easy_cleanup)> handle(lib.curl_easy_init(),
                                                                  lib.curl_easy_cleanup);
    if (!handle) return tl::unexpected(StepError::other("The download could not be set up."));
    char message[CURL_ERROR_SIZE] = {};
    CURL* curl = handle.get();
    state.lib = &lib;
    state.curl = curl;
    lib.curl_easy_setopt(curl, CURLOPT_URL, source.c_str());
    lib.curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    lib.curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    lib.curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    lib.curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    lib.curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib.curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kIdleSeconds);
    lib.curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    lib.curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kIdleSeconds);
    lib.curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    lib.curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
    lib.curl_easy_setopt(curl, CURLOPT_WRITEDATA, &state);
    lib.curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    lib.curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, checkCancelled);
    lib.curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &state);
    // An update is always fetched afresh.
    std::unique_ptr<curl_slist, decltype(lib.curl_slist_free_all)> headers(
        lib.curl_slist_append(nullptr, "Cache-Control: no-cache"), lib.curl_slist_free_all);
    lib.curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

    CURLcode code = lib.curl_easy_perform(curl);
    if (code == CURLE_ABORTED_BY_CALLBACK) return tl::unexpected(StepError::cancellation());
    if (code == CURLE_WRITE_ERROR && state.refusedStatus != 0)
        return tl::unexpected(
            StepError::update(kit::HelperUpdateError::downloadFailed(reasonPhrase(state.refusedStatus))));
    if (code == CURLE_WRITE_ERROR && state.tooLong)
        return tl::unexpected(StepError::update(kit::HelperUpdateError::sizeMismatch()));
    if (code == CURLE_WRITE_ERROR && state.writeFailed)
        return tl::unexpected(StepError::update(kit::HelperUpdateError::downloadFailed(
            platform::SystemError{"write", state.writeError}.reason())));
    if (code != CURLE_OK)
        return tl::unexpected(StepError::other(message[0] ? message : lib.curl_easy_strerror(code)));
    long status = 0;
    lib.curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299)
        return tl::unexpected(
            StepError::update(kit::HelperUpdateError::downloadFailed(reasonPhrase(status))));
    return {};
}

}  // namespace

std::string reasonPhrase(long status) {
    struct Phrase {
        long status;
        const char* text;
    };
    static constexpr Phrase phrases[] = {
        {100, "continue"},
        {101, "switching protocols"},
        {200, "no error"},
        {201, "created"},
        {202, "accepted"},
        {203, "non-authoritative information"},
        {204, "no content"},
        {205, "reset content"},
        {206, "partial content"},
        {300, "multiple choices"},
        {301, "moved permanently"},
        {302, "found"},
        {303, "see other"},
        {304, "not modified"},
        {305, "needs proxy"},
        {307, "temporarily redirected"},
        {308, "permanent redirect"},
        {400, "bad request"},
        {401, "unauthorized"},
        {402, "payment required"},
        {403, "forbidden"},
        {404, "not found"},
        {405, "method not allowed"},
        {406, "unacceptable"},
        {407, "proxy authentication required"},
        {408, "request timed out"},
        {409, "conflict"},
        {410, "no longer exists"},
        {411, "length required"},
        {412, "precondition failed"},
        {413, "request too large"},
        {414, "requested URL too long"},
        {415, "unsupported media type"},
        {416, "requested range not satisfiable"},
        {417, "expectation failed"},
        {429, "too many requests"},
        {500, "internal server error"},
        {501, "unimplemented"},
        {502, "bad gateway"},
        {503, "service unavailable"},
        {504, "gateway timed out"},
        {505, "unsupported version"},
    };
    for (const auto& phrase : phrases)
        if (phrase.status == status) return phrase.text;
    if (status >= 100 && status < 200) return "informational";
    if (status >= 200 && status < 300) return "success";
    if (status >= 300 && status < 400) return "redirected";
    if (status >= 400 && status < 500) return "client error";
    if (status >= 500 && status < 600) return "server error";
    return "unknown";
}

void download(const std::string& source, const fs::path& destination, std::int64_t maximumBytes,
              HelperUpdater::ProgressHandler progress, HelperUpdater::CancellationProbe isCancelled,
              HelperUpdater::DownloadCompletion completion) {
    // Beside the destination, so that the final move stays within one file system.
    std::string temporary = (destination.parent_path() / ".download-XXXXXX").string();
    platform::UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.valid()) {
        completion(tl::unexpected(StepError::update(kit::HelperUpdateError::downloadFailed(
            "Could not create \"" + temporary +
            "\": " + platform::SystemError::fromErrno("mkostemp").reason()))));
        return;
    }
    auto state = std::make_shared<Transfer>(Transfer{.file = std::move(file),
                                                     .progress = std::move(progress),
                                                     .isCancelled = std::move(isCancelled),
                                                     .maximumBytes = maximumBytes});
    // A thread per transfer: a long download holds neither a pool thread nor the updater's queue, and
    // an update is rare enough that a thread for its length costs nothing that matters.
    std::thread([source, destination, temporary, state, completion = std::move(completion)] {
        auto result = transfer(source, *state);
        state->file.reset();
        if (result) {
            if (auto moved = moveItem(temporary, destination); !moved)
                result =
                    tl::unexpected(StepError::update(kit::HelperUpdateError::downloadFailed(moved.error())));
        }
        if (!result) ::unlink(temporary.c_str());
        completion(std::move(result));
    }).detach();
}

}  // namespace velmora::core::HelperUpdaterIO
