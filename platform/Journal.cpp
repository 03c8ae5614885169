#include "platform/Journal.h"

#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace velmora::platform {

namespace {
constexpr const char* kSyslogIdentifier = "com.norwick.VelmoraHelper";
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// sd_journal_send reports success when the socket is missing, so look before sending.
bool journalReachable() noexcept {
    struct stat info {};
    return ::stat(kJournalSocket, &info) == 0 && S_ISSOCK(info.st_mode);
}

void writeAll(int fd, const std::string& bytes) noexcept {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}
}  // namespace

void writeStandardErrorLine(std::string_view message) noexcept {
    try {
        std::string line(message);
        line.push_back('\n');
        writeAll(STDERR_FILENO, line);
    } catch (...) {
        // Out of memory while logging: nothing better to do than drop the line.
    }
}

void journalSend(std::string_view category, LogLevel level, std::string_view message) noexcept {
    int priority = level == LogLevel::error ? 3 : 6;
    int rc = -1;
    if (journalReachable())
        rc = sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(), "PRIORITY=%d",
                             priority, "SYSLOG_IDENTIFIER=%s", kSyslogIdentifier, "HELPER_CATEGORY=%.*s",
                             static_cast<int>(category.size()), category.data(), nullptr);
    if (rc < 0) {
        try {
            std::string line(category);
            line += ": ";
            line += message;
            writeStandardErrorLine(line);
        } catch (...) {
        }
    }
}

}  // namespace velmora::platform
