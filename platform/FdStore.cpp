#include "platform/FdStore.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace velmora::platform {

namespace {

constexpr int kSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

// The manager's address: a path, or an abstract name written with a leading '@'.
std::optional<std::pair<sockaddr_un, socklen_t>> notifyAddress() {
    const char* text = ::getenv("NOTIFY_SOCKET");
    if (text == nullptr) return std::nullopt;
    std::string_view path(text);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() < 2 || path.size() >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@'))
        return std::nullopt;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (path[0] == '@') address.sun_path[0] = '\0';
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (path[0] == '/'));
    return std::pair{address, length};
}

tl::expected<void, SystemError> notify(const std::string& message, int fd) {
    auto address = notifyAddress();
    if (!address) return tl::unexpected(SystemError{"NOTIFY_SOCKET", EINVAL});
    UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return tl::unexpected(SystemError::fromErrno("socket"));
    iovec data{const_cast<char*>(message.data()), message.size()};
    msghdr header{};
    header.msg_name = &address->first;
    header.msg_namelen = address->second;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))]{};
    if (fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &fd, sizeof(int));
    }
    ssize_t sent;
    do {
        sent = ::sendmsg(socket.get(), &header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(message.size()))
        return tl::unexpected(SystemError::fromErrno("sendmsg"));
    return {};
}

}  // namespace

bool FdStore::available() {
    return notifyAddress().has_value();
}

tl::expected<UniqueFd, SystemError> FdStore::sealed(std::string_view bytes) {
    UniqueFd memory(::memfd_create("velmora-store", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memory.valid()) return tl::unexpected(SystemError::fromErrno("memfd_create"));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(memory.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return tl::unexpected(SystemError::fromErrno("write"));
        done += static_cast<size_t>(n);
    }
    if (::fcntl(memory.get(), F_ADD_SEALS, kSeals) != 0)
        return tl::unexpected(SystemError::fromErrno("fcntl"));
    return memory;
}

tl::expected<void, SystemError> FdStore::keep(std::string_view name, std::string_view bytes) {
    auto memory = sealed(bytes);
    if (!memory) return tl::unexpected(memory.error());
    // The manager keeps every descriptor it is given, even under a name it already holds.
    std::string fdName = "FDNAME=" + std::string(name) + "\n";
    if (auto removed = notify("FDSTOREREMOVE=1\n" + fdName, -1); !removed) return removed;
    return notify("FDSTORE=1\n" + fdName, memory->get());
}

std::optional<std::string> FdStore::readSealed(int fd, size_t maxSize) {
    struct stat status {};
    if (::fcntl(fd, F_GET_SEALS) != kSeals || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size < 0 || static_cast<size_t>(status.st_size) > maxSize)
        return std::nullopt;
    std::string bytes(static_cast<size_t>(status.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += static_cast<size_t>(n);
    }
    return bytes;
}

}  // namespace velmora::platform
