#pragma once

// The code mapped into a running process, beside its executable: a signed executable proves nothing
// about a process that also runs code from elsewhere (a preloaded library, one it opened later, or
// memory it made executable itself), nor about one a tracer steers.

#include <string>
#include <tl/expected.hpp>

#include "codesign/StaticCode.h"

namespace velmora::codesign {

class ProcessRoot;

// Checks the process whose `root` is given (already pinned by the caller, who confirms afterwards that
// it is still the same process) that runs from `bundle`, which has just been verified:
//   - every file-backed executable mapping is a sealed file of `bundle`, unchanged since it was
//     scanned, or a file its user can neither change nor replace: not its own, not writable through
//     its groups or by others, in folders where, all the way up, it can create, remove or rename no
//     entry (a sticky folder protects only entries the user does not own). For a process with any
//     root user id, the file and every folder above it are owned by root and writable by root alone;
//   - there is no anonymous executable mapping other than [vdso] and [vsyscall];
//   - no tracer is attached.
// Every mapping is judged by the file itself: the path, opened in the process's view, must lead to the
// device and inode the mapping names; a file outside the bundle is then judged where this process sees
// it (a sandboxed client's library by its folders on the host), and refused when it cannot be found
// here. Passes, or gives why the process is refused, naming the mapping.
[[nodiscard]] tl::expected<void, std::string> checkMappedCode(const ProcessRoot& root,
                                                              const ValidatedBundle& bundle);

}  // namespace velmora::codesign
