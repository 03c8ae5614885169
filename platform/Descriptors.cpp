#include "platform/Descriptors.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

// Installed headers predate the option (Linux 6.5).
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace velmora::platform {

tl::expected<UniqueFd, SystemError> openPidfd(pid_t pid) {
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return tl::unexpected(SystemError::fromErrno("pidfd_open"));
    // pidfds are always close-on-exec.
    return UniqueFd(fd);
}

tl::expected<UniqueFd, SystemError> duplicateDescriptor(int fd) {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return tl::unexpected(SystemError::fromErrno("fcntl(F_DUPFD_CLOEXEC)"));
    return UniqueFd(copy);
}

UniqueFd peerPidfd(int socket, pid_t pid) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
        return UniqueFd(pidfd);
    }
    if (pid <= 0) return {};
    auto opened = openPidfd(pid);
    return opened ? std::move(*opened) : UniqueFd();
}

}  // namespace velmora::platform
