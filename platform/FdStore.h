#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::platform {

// The service manager's file-descriptor store, through the notify protocol spoken directly (as the
// journal's): bytes are kept in a sealed memfd, handed to the manager under a fixed name, and come back
// at the next activation with the sockets (see takeStoredDescriptor). The manager takes them only from
// the unit's main process, so no other program of the user can plant one.
class FdStore {
  public:
    // Whether a manager listens ($NOTIFY_SOCKET is set).
    [[nodiscard]] static bool available();

    // A memfd holding `bytes`, sealed against writing, growing, shrinking and further seals.
    [[nodiscard]] static tl::expected<UniqueFd, SystemError> sealed(std::string_view bytes);

    // Replaces the descriptor stored as `name` by a sealed memfd holding `bytes`.
    [[nodiscard]] static tl::expected<void, SystemError> keep(std::string_view name, std::string_view bytes);

    // The bytes of `fd` when it is a memfd sealed against writing, growing, shrinking and further
    // seals, of at most `maxSize` bytes; nullopt otherwise.
    [[nodiscard]] static std::optional<std::string> readSealed(int fd, size_t maxSize);
};

}  // namespace velmora::platform
