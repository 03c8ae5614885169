#pragma once

// Threads shared by every session of the process for work that may wait on the outside world.

#include <memory>

#include "platform/Dispatch.h"

namespace velmora::helper {

// Account lookups and client paths on a hung mount run here, never on the loop that accepts, reports
// exits and keeps the idle timer. Opening has threads of its own (HelperOpenQueue), so that opens stuck
// on a path leave info answerable.
[[nodiscard]] std::shared_ptr<platform::DispatchQueue> infoQueue();

}  // namespace velmora::helper
