#include "platform/DescriptorLimit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <limits>

#include "platform/UniqueFd.h"

namespace velmora::platform {

namespace {
std::optional<rlimit> limitBeforeRaise;

std::size_t asSize(rlim_t value) {
    if (value == RLIM_INFINITY || value > std::numeric_limits<std::size_t>::max())
        return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(value);
}
}  // namespace

tl::expected<std::size_t, SystemError> raiseDescriptorLimitToHard() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return tl::unexpected(SystemError::fromErrno("getrlimit"));
    if (limit.rlim_cur == limit.rlim_max) return asSize(limit.rlim_cur);
    rlimit raised{limit.rlim_max, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) return tl::unexpected(SystemError::fromErrno("setrlimit"));
    limitBeforeRaise = limit;
    return asSize(raised.rlim_cur);
}

std::optional<rlimit> descriptorLimitBeforeRaise() {
    return limitBeforeRaise;
}

std::size_t descriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::numeric_limits<std::size_t>::max();
    return asSize(limit.rlim_cur);
}

tl::expected<std::size_t, SystemError> openDescriptorCount() {
    // Linux 6.2 and later give the count as the directory's size, without listing thousands of entries.
    struct stat status {};
    if (::stat("/proc/self/fd", &status) == 0 && status.st_size > 0)
        return static_cast<std::size_t>(status.st_size);
    UniqueFd directory(::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) return tl::unexpected(SystemError::fromErrno("open"));
    DIR* stream = ::fdopendir(directory.get());
    if (stream == nullptr) return tl::unexpected(SystemError::fromErrno("fdopendir"));
    (void)directory.release();  // the stream owns it now
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(stream))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(stream);
    return count > 0 ? count - 1 : 0;
}

}  // namespace velmora::platform
