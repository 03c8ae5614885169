#pragma once

// Signalling and reaping a shell's process: shared by the shell object and by the reaper that takes
// over a shell released before its exit was reaped.

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>

#include "core/PTYShellProcess.h"
#include "platform/Dispatch.h"
#include "platform/UniqueFd.h"

namespace velmora::core::reaping {

[[nodiscard]] bool signalProcessGroup(int pidfd, pid_t pid, int signalNumber);

[[nodiscard]] PTYShellProcess::ExitResult decodeExit(const siginfo_t& info);

void logExit(pid_t pid, const PTYShellProcess::ExitResult& result);

// Waits for a child that has been killed, so that no zombie is left behind.
void reapKilled(pid_t pid);

// Looks after a shell whose object was released before its exit was reaped: sends the delayed kill
// that the hang-up promised (at `killAt`, when given) and reaps the exit. Takes over the shell's own
// exit watch when there still is one (a pidfd is watched by one source at a time), else watches the
// pidfd anew.
void adoptReleasedShell(pid_t pid, const std::shared_ptr<const platform::UniqueFd>& pidfd,
                        std::unique_ptr<platform::ProcessExitSource> existing,
                        std::optional<std::chrono::steady_clock::time_point> killAt);

}  // namespace velmora::core::reaping
