#pragma once

#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::platform {

struct PassedDescriptor {
    std::string name;
    UniqueFd fd;
};

// The descriptors the service manager passed to this process (LISTEN_PID, LISTEN_FDS and
// LISTEN_FDNAMES, from descriptor 3 up), each made close-on-exec and named "unknown" when no names came.
// Empty when the variables are missing or meant for another process. The three variables are unset
// either way, so that children do not take them for their own. Descriptors that are not sockets come
// from the manager's store: they are set aside for takeStoredDescriptor. Not thread-safe (it edits the
// environment): call once, early in main.
[[nodiscard]] tl::expected<std::vector<PassedDescriptor>, SystemError> takeListeningDescriptors();

// The descriptor the manager's store kept as `name` and passed back with the sockets, set aside (not
// among what takeListeningDescriptors returns) when that ran; an invalid descriptor otherwise. Each is
// given out once.
[[nodiscard]] UniqueFd takeStoredDescriptor(std::string_view name);

// Whether `fd` is a socket of `family` and `type` that is listening.
[[nodiscard]] bool isListeningSocket(int fd, int family, int type);

}  // namespace velmora::platform
