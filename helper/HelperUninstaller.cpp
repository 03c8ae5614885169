// The uninstall operations of HelperInstaller.

#include <spawn.h>

#include <cstring>
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
#include "platform/SpawnObjects.h"

extern char** environ;

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
    auto failed = [](int error) {
        return tl::unexpected(kit::HelperUninstallError::spawnFailed(std::strerror(error)));
    };
    platform::SpawnAttributes attributes;
    if (attributes.error() != 0) return failed(attributes.error());
    if (int error = ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSID)) return failed(error);

    auto executable = Identity::executableURL(core::HelperBundle::bundleURL()).string();
    // Under the user manager everything this process starts belongs to the agent's service, which the
    // uninstaller is about to stop. systemd-run moves itself into a transient scope of its own and
    // then executes the uninstaller in place, so the pid below is the uninstaller's.
    std::vector<std::string> strings;
    if (AgentUnits::runningInAgentService())
        strings = {systemdRunPath, "--user", "--scope", "--collect", "--quiet", "--"};
    strings.push_back(executable);
    strings.emplace_back("--uninstall");
    std::vector<char*> argv;
    for (auto& string : strings) argv.push_back(string.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    if (int error = ::posix_spawn(&pid, argv.front(), nullptr, attributes.get(), argv.data(), environ))
        return failed(error);
    installer.info("Detached uninstaller started as pid=" + std::to_string(pid));
    return {};
}

}  // namespace velmora::helper::HelperInstaller
