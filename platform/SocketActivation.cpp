#include "platform/SocketActivation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace velmora::platform {

namespace {
constexpr int kFirstPassedDescriptor = 3;

std::vector<PassedDescriptor>& setAside() {
    static std::vector<PassedDescriptor> stored;
    return stored;
}

// A whole decimal number, nothing before or after it.
template <typename Number>
bool parse(const char* text, Number& value) {
    std::string_view view(text);
    auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    return error == std::errc() && end == view.data() + view.size() && !view.empty();
}

tl::expected<std::vector<PassedDescriptor>, SystemError> readPassed() {
    const char* pidText = ::getenv("LISTEN_PID");
    const char* countText = ::getenv("LISTEN_FDS");
    if (pidText == nullptr || countText == nullptr) return std::vector<PassedDescriptor>{};
    pid_t pid = 0;
    if (!parse(pidText, pid)) return tl::unexpected(SystemError{"LISTEN_PID", EINVAL});
    if (pid != ::getpid()) return std::vector<PassedDescriptor>{};
    int count = 0;
    if (!parse(countText, count) || count <= 0 || count > INT_MAX - kFirstPassedDescriptor)
        return tl::unexpected(SystemError{"LISTEN_FDS", EINVAL});

    std::vector<std::string> names;
    if (const char* namesText = ::getenv("LISTEN_FDNAMES")) {
        // Colon-separated, empty names kept.
        std::string_view rest(namesText);
        for (;;) {
            size_t colon = rest.find(':');
            names.emplace_back(rest.substr(0, colon));
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
        if (names.size() != static_cast<size_t>(count))
            return tl::unexpected(SystemError{"LISTEN_FDNAMES", EINVAL});
    } else {
        names.assign(static_cast<size_t>(count), "unknown");
    }

    for (int fd = kFirstPassedDescriptor; fd < kFirstPassedDescriptor + count; ++fd) {
        int flags = ::fcntl(fd, F_GETFD);
        if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0)
            return tl::unexpected(SystemError::fromErrno("fcntl"));
    }
    std::vector<PassedDescriptor> passed;
    for (int i = 0; i < count; ++i) {
        PassedDescriptor descriptor{std::move(names[static_cast<size_t>(i)]),
                                    UniqueFd(kFirstPassedDescriptor + i)};
        struct stat status {};
        bool socket = ::fstat(descriptor.fd.get(), &status) == 0 && S_ISSOCK(status.st_mode);
        (socket ? passed : setAside()).push_back(std::move(descriptor));
    }
    return passed;
}
}  // namespace

tl::expected<std::vector<PassedDescriptor>, SystemError> takeListeningDescriptors() {
    auto passed = readPassed();
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    return passed;
}

UniqueFd takeStoredDescriptor(std::string_view name) {
    for (auto& stored : setAside())
        if (stored.name == name && stored.fd.valid()) return std::move(stored.fd);
    return {};
}

bool isListeningSocket(int fd, int family, int type) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &length) != 0 || value != type) return false;
    length = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &length) != 0 || value == 0) return false;
    sockaddr_storage address{};
    length = sizeof address;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           length >= sizeof address.ss_family && address.ss_family == family;
}

}  // namespace velmora::platform
