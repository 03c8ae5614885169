#pragma once

// The child side of starting a shell: everything between fork and exec.
//
// Everything the child uses (paths, argument and environment vectors) must be prepared by the caller
// before the call: the child runs in the caller's memory, beside its other threads, so it makes system
// calls through syscall(2) only: it allocates nothing, takes no lock and runs no other library code.

#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <tl/expected.hpp>

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::pty {

// A started child and the pidfd that pins it (close-on-exec), both from the one clone call.
struct SpawnedChild {
    pid_t pid = -1;
    platform::UniqueFd pidfd;
};

// Starts a child that shares the caller's memory until it executes (as vfork does, so no page table is
// copied however large the caller is); the calling thread waits until then. The child opens
// `terminalPath` as the controlling terminal and standard input, output and error of a new session,
// keeps no other descriptor, empties the signal mask, resets every signal to its default disposition,
// enters `workingDirectory` (when not null), sets RLIMIT_NOFILE to `descriptorLimit` (when not null;
// failure ignored) and executes `shellPath`. A failing set-up step ends the child with status 127.
// Fails ("clone") only when no child was started. Takes 16 KiB of the caller's stack for the child's.
[[nodiscard]] tl::expected<SpawnedChild, platform::SystemError> spawn_login_shell(
    const char* terminalPath, const char* workingDirectory, const char* shellPath,
    char* const argumentVector[], char* const environmentVector[], const rlimit* descriptorLimit = nullptr);

inline constexpr int kChildSetUpFailureStatus = 127;

// Both sides of a new pseudo-terminal, each opened close-on-exec from the start.
struct PseudoTerminal {
    platform::UniqueFd master;
    platform::UniqueFd slave;
};

// openpty without the window in which another thread's fork could inherit the descriptors.
[[nodiscard]] tl::expected<PseudoTerminal, platform::SystemError> openPseudoTerminal(const winsize& size);

}  // namespace velmora::pty
