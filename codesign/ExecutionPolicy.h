#pragma once

#include <filesystem>
#include <tl/expected.hpp>

#include "codesign/CodeSignStatus.h"

namespace velmora::codesign {

// The execution policy: admits an executable that is a regular file with an execute bit, an ELF
// executable (or position-independent executable) of this machine's class, byte order and machine type,
// on a file system not mounted noexec. Fails with its own description.
[[nodiscard]] tl::expected<void, CodeSignError> assessExecutionPolicy(
    const std::filesystem::path& executable);

}  // namespace velmora::codesign
