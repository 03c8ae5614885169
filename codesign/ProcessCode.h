#pragma once

// The code a running process executes: its executable, the bundle that holds it, and that bundle's
// signature.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "codesign/StaticCode.h"

namespace velmora::codesign {

// Checks the process behind `pidfd`: its executable (/proc/<pid>/exe) must be the sealed file at
// Contents/MacOS/<name> of a bundle whose signature holds and satisfies `requirementText` (the same
// file, by device and inode, not merely one at the same path), and the code mapped into it must pass
// checkMappedCode (ProcessMappings.h). The process must still be alive once its executable has been
// opened and its mappings read, so the pid was still its own. `cancelled` is asked between steps; once
// it says yes the check stops with kCheckCancelled. Fails with a text for a log line.
[[nodiscard]] tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkProcess(
    int pidfd, std::string_view requirementText, VerificationCache* cache = nullptr,
    const std::function<bool()>& cancelled = {});

inline constexpr std::string_view kCheckCancelled = "the client hung up before its check ended";

}  // namespace velmora::codesign
