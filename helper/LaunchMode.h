#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmora::helper {

enum class LaunchMode {
    service,
    silentRegister,
    alert,
    install,
    registerAgent,
    uninstall,
    version,
    unknownArgument
};

// Picks the one mode a start runs in from the arguments (without argument zero) and XPC_SERVICE_NAME.
// `runningFromInstallLocation` is asked only when there are no arguments and no service-manager start.
LaunchMode chooseLaunchMode(const std::vector<std::string>& arguments,
                            const std::optional<std::string>& xpcServiceName,
                            const std::function<bool()>& runningFromInstallLocation);

}  // namespace velmora::helper
