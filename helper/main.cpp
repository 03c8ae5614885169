#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/HelperBundle.h"
#include "core/HelperLog.h"
#include "helper/HelperAlert.h"
#include "helper/HelperInstaller.h"
#include "helper/LaunchMode.h"
#include "helper/ServiceMode.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/Environment.h"

using namespace velmora;

namespace {

int printVersion() {
    std::string line = core::HelperBundle::versionDescription() + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int showManagedAlert() {
    std::string title(kit::VelmoraHelperIdentity::productName);
    helper::HelperAlert::present(title,
                                 title +
                                     " is managed from Velmora \xE2\x80\xBA Settings \xE2\x80\xBA Local "
                                     "Shell. There is nothing to do here.");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto mode = helper::chooseLaunchMode(arguments, platform::environmentValue("XPC_SERVICE_NAME"), [] {
        return helper::HelperInstaller::isRunningFromInstallLocation();
    });
    switch (mode) {
        case helper::LaunchMode::service:
            return helper::runServiceMode();
        case helper::LaunchMode::silentRegister:
            return helper::HelperInstaller::runRegister(helper::HelperInstaller::RunningAgent::leave);
        case helper::LaunchMode::alert:
            return showManagedAlert();
        case helper::LaunchMode::install:
            return helper::HelperInstaller::runInstall();
        case helper::LaunchMode::registerAgent:
            return helper::HelperInstaller::runRegister(helper::HelperInstaller::RunningAgent::restart);
        case helper::LaunchMode::uninstall:
            return helper::HelperInstaller::runUninstall();
        case helper::LaunchMode::version:
            return printVersion();
        case helper::LaunchMode::unknownArgument:
            core::HelperLog::standardError("Unknown argument " + arguments.front() +
                                           ". Use --install, --register, --uninstall, or --version.");
            return 64;
    }
    return 1;
}
