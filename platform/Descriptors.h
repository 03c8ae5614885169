#pragma once

// Descriptors for processes and copies of descriptors, each owned from the moment it exists.

#include <sys/types.h>

#include <tl/expected.hpp>

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::platform {

// pidfd_open(2), close-on-exec.
[[nodiscard]] tl::expected<UniqueFd, SystemError> openPidfd(pid_t pid);

// A close-on-exec duplicate of `fd`.
[[nodiscard]] tl::expected<UniqueFd, SystemError> duplicateDescriptor(int fd);

// A pidfd of the process at the other end of the connected socket `socket`: SO_PEERPIDFD names the
// process that connected; where the kernel lacks it, `pid` (from SO_PEERCRED) is opened now, which
// names whatever holds that pid at this moment. Invalid when neither works.
[[nodiscard]] UniqueFd peerPidfd(int socket, pid_t pid);

}  // namespace velmora::platform
