#pragma once

// The code a running process executes: its executable, the bundle that holds it, and that bundle's
// signature.

#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "codesign/StaticCode.h"

namespace velmora::codesign {

// Checks the process behind `pidfd`: its executable (/proc/<pid>/exe) must be the sealed file at
// Contents/MacOS/<name> of a bundle whose signature holds and satisfies `requirementText` (the same
// file, by device and inode, not merely one at the same path). The process must still be alive once its
// executable has been opened, so the pid was still its own. Fails with a text for a log line.
[[nodiscard]] tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkProcess(
    int pidfd, std::string_view requirementText, VerificationCache* cache = nullptr);

}  // namespace velmora::codesign
