#pragma once

// The process's descriptor table: how large it may grow and how full it is.

#include <sys/resource.h>

#include <cstddef>
#include <optional>
#include <tl/expected.hpp>

#include "platform/SystemError.h"

namespace velmora::platform {

// Raises the soft RLIMIT_NOFILE to the hard limit (a process that uses no select() loses nothing by
// it) and returns the limit now in force. Call once, at start, before other threads read the limit
// it replaced.
[[nodiscard]] tl::expected<std::size_t, SystemError> raiseDescriptorLimitToHard();
// RLIMIT_NOFILE as the process found it, when raiseDescriptorLimitToHard() changed it: what its
// children should get back, as programs that use select() expect a soft limit of at most FD_SETSIZE.
[[nodiscard]] std::optional<rlimit> descriptorLimitBeforeRaise();

// The soft RLIMIT_NOFILE now in force.
[[nodiscard]] std::size_t descriptorLimit();

// Descriptors open in this process right now, not counting the one the count itself may need. Fails
// with EMFILE when that one is needed (kernels before 6.2) and not free.
[[nodiscard]] tl::expected<std::size_t, SystemError> openDescriptorCount();

}  // namespace velmora::platform
