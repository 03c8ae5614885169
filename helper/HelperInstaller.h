#pragma once

#include <tl/expected.hpp>

#include "kit/HelperErrors.h"

// Installing, registering and removing the helper as the user's agent. Every operation is
// synchronous and runs on the main thread of a one-shot process, except spawnDetachedUninstaller,
// which the service calls.
namespace velmora::helper::HelperInstaller {

// True when the running bundle is the installed bundle (both standardised, links resolved).
bool isRunningFromInstallLocation();

// Whether a registration restarts the agent already running, so that it serves the registered bundle.
enum class RunningAgent { leave, restart };

// The one-shot jobs. Each returns the process exit status.
int runInstall();
int runRegister(RunningAgent restartRunningAgent);
int runUninstall();

// Starts the running bundle's executable with "--uninstall", detached from this process: in a
// transient unit of its own when this process runs as the agent's service (stopping the agent must
// not end it), otherwise in a new session. Never waits for it.
[[nodiscard]] tl::expected<void, kit::HelperUninstallError> spawnDetachedUninstaller();

}  // namespace velmora::helper::HelperInstaller
