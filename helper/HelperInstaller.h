#pragma once

namespace velmora::helper::HelperInstaller {

// True when the running bundle is the installed bundle (both standardised, links resolved).
bool isRunningFromInstallLocation();

// The one-shot jobs. Each returns the process exit status.
int runInstall();
int runRegister(bool restartRunningAgent);
int runUninstall();

}  // namespace velmora::helper::HelperInstaller
