#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "platform/SystemError.h"

namespace velmora::helper {

enum class ChildOutput {
    // Standard input, output and error are this process's own.
    inherited,
    // All three are the null device.
    discarded,
};

// Runs `executable` (argument zero is its path) with `arguments` and this process's environment,
// and waits for it. Gives its exit status, or 128 + the signal number when a signal ended it, or
// the error that kept it from starting (including a failed exec).
[[nodiscard]] tl::expected<int, platform::SystemError> runChild(const std::filesystem::path& executable,
                                                                const std::vector<std::string>& arguments,
                                                                ChildOutput output);

}  // namespace velmora::helper
