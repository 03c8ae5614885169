#pragma once

// The process's descriptor table: how large it may grow and how full it is.

#include <cstddef>
#include <tl/expected.hpp>

#include "platform/SystemError.h"

namespace velmora::platform {

// Raises the soft RLIMIT_NOFILE to the hard limit (a process that uses no select() loses nothing by
// it) and returns the limit now in force.
[[nodiscard]] tl::expected<std::size_t, SystemError> raiseDescriptorLimitToHard();

// The soft RLIMIT_NOFILE now in force.
[[nodiscard]] std::size_t descriptorLimit();

// Descriptors open in this process right now, not counting the one the count itself needs. Fails
// with EMFILE when not even that one is free.
[[nodiscard]] tl::expected<std::size_t, SystemError> openDescriptorCount();

}  // namespace velmora::platform
