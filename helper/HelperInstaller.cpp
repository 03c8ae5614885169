#include "helper/HelperInstaller.h"

#include <system_error>

#include "core/HelperBundle.h"
#include "core/HelperLog.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/Environment.h"

namespace velmora::helper::HelperInstaller {

namespace {
std::filesystem::path resolved(const std::filesystem::path& path) {
    std::error_code error;
    auto result = std::filesystem::weakly_canonical(path.lexically_normal(), error);
    return error ? path.lexically_normal() : result;
}

int notAvailable(const char* job) {
    core::HelperLog::standardError(std::string(job) + " is not available in this build of " +
                                   std::string(kit::VelmoraHelperIdentity::productName) + ".");
    return 1;
}
}  // namespace

bool isRunningFromInstallLocation() {
    auto installed = kit::VelmoraHelperIdentity::installedBundleURL(platform::currentHomeDirectory());
    return resolved(core::HelperBundle::bundleURL()) == resolved(installed);
}

// Installation, registration and removal arrive with the installer; until then they fail plainly.
int runInstall() {
    return notAvailable("Installing");
}
int runRegister(bool) {
    return notAvailable("Registering the agent");
}
int runUninstall() {
    return notAvailable("Uninstalling");
}

}  // namespace velmora::helper::HelperInstaller
