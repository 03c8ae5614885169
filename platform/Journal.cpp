#include "platform/Journal.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace velmora::platform {

// The journal's native protocol, spoken directly rather than through libsystemd, which would bring
// its compression and crypto libraries into every start of the helper.
namespace {
constexpr const char* kSyslogIdentifier = "com.norwick.VelmoraHelper";
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

void writeAll(int fd, const std::string& bytes) noexcept {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// "KEY=value\n"; a value with a line feed goes as "KEY\n", its length as 64-bit little endian, the
// bytes, "\n".
void appendField(std::string& datagram, std::string_view key, std::string_view value) {
    datagram += key;
    if (value.find('\n') == std::string_view::npos) {
        datagram += '=';
    } else {
        datagram += '\n';
        auto length = static_cast<std::uint64_t>(value.size());
        for (int i = 0; i < 8; ++i) datagram += static_cast<char>((length >> (8 * i)) & 0xff);
    }
    datagram += value;
    datagram += '\n';
}

// One datagram to the journal; false when the socket is missing or refuses it.
bool sendToJournal(const std::string& datagram) noexcept {
    // One unbound socket for the process: sendto with an address is safe from any thread.
    static const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kJournalSocket);
    ssize_t sent;
    do {
        sent = ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(datagram.size());
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
    try {
        std::string datagram;
        appendField(datagram, "MESSAGE", message);
        appendField(datagram, "PRIORITY", level == LogLevel::error ? "3" : "6");
        appendField(datagram, "SYSLOG_IDENTIFIER", kSyslogIdentifier);
        appendField(datagram, "HELPER_CATEGORY", category);
        if (sendToJournal(datagram)) return;
        std::string line(category);
        line += ": ";
        line += message;
        writeStandardErrorLine(line);
    } catch (...) {
        // Out of memory while logging: nothing better to do than drop the line.
    }
}

}  // namespace velmora::platform
