#include "helper/LaunchMode.h"

#include "kit/VelmoraHelperIdentity.h"

namespace velmora::helper {

LaunchMode chooseLaunchMode(const std::vector<std::string>& arguments,
                            const std::optional<std::string>& xpcServiceName,
                            const std::function<bool()>& runningFromInstallLocation) {
    bool startedByServiceManager =
        xpcServiceName && *xpcServiceName == kit::VelmoraHelperIdentity::launchdLabel;
    if (arguments.empty()) {
        if (startedByServiceManager) return LaunchMode::service;
        return runningFromInstallLocation() ? LaunchMode::silentRegister : LaunchMode::alert;
    }
    // Only the first argument decides; the rest are ignored.
    const std::string& option = arguments.front();
    if (option == "--install") return LaunchMode::install;
    if (option == "--register") return LaunchMode::registerAgent;
    if (option == "--uninstall") return LaunchMode::uninstall;
    if (option == "--version") return LaunchMode::version;
    if (option == "--serve") return LaunchMode::service;
    return LaunchMode::unknownArgument;
}

}  // namespace velmora::helper
