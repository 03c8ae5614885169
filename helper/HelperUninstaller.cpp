// The uninstall operations of HelperInstaller.

#include <string>
#include <system_error>
#include <vector>

#include "core/HelperBundle.h"
#include "core/HelperLog.h"
#include "core/update/HelperUpdaterIO.h"
#include "helper/AgentUnits.h"
#include "helper/HelperInstaller.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/Environment.h"
#include "platform/Process.h"

namespace velmora::helper::HelperInstaller {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;
using core::HelperLog::installer;

namespace {

constexpr const char* systemdRunPath = "/usr/bin/systemd-run";

// Takes the agent out of the user manager and stops it; problems are only logged.
void unregisterAgent() {
    if (auto unregistered = AgentUnits::unregister(); !unregistered)
        installer.error("Unregister reported: " + unregistered.error());
    AgentUnits::stopRunningAgent();
}

// 0 when the install directory is gone (or never existed), 1 when removing it failed.
int removeInstalledBundle() {
    auto directory = Identity::installDirectoryURL(platform::currentHomeDirectory());
    if (!core::HelperUpdaterIO::itemExists(directory)) return 0;
    std::error_code error;
    fs::remove_all(directory, error);
    if (!error) return 0;
    installer.error("Could not remove " + directory.string() + ": " + error.message());
    return 1;
}

}  // namespace

int runUninstall() {
    unregisterAgent();
    int status = removeInstalledBundle();
    installer.info("Uninstalled");
    return status;
}

tl::expected<void, kit::HelperUninstallError> spawnDetachedUninstaller() {
    platform::ProcessPlan plan;
    plan.newSession = true;
    auto executable = Identity::executableURL(core::HelperBundle::bundleURL()).string();
    // Under the user manager everything this process starts belongs to the agent's service, which the
    // uninstaller is about to stop. systemd-run moves itself into a transient scope of its own and
    // then executes the uninstaller in place, so the pid below is the uninstaller's.
    if (AgentUnits::runningInAgentService())
        plan.arguments = {systemdRunPath, "--user", "--scope", "--collect", "--quiet", "--"};
    plan.arguments.push_back(executable);
    plan.arguments.emplace_back("--uninstall");
    auto spawned = platform::spawnProcess(plan);
    if (!spawned) return tl::unexpected(kit::HelperUninstallError::spawnFailed(spawned.error().reason()));
    installer.info("Detached uninstaller started as pid=" + std::to_string(spawned->pid));
    return {};
}

}  // namespace velmora::helper::HelperInstaller
