#include "helper/AgentUnits.h"

#include <fstream>

#include "helper/ChildProcess.h"
#include "kit/VelmoraHelperIdentity.h"

namespace velmora::helper::AgentUnits {

namespace fs = std::filesystem;

namespace {

using Arguments = std::vector<std::string>;

// A manager answers on its private socket under $XDG_RUNTIME_DIR; without one, systemctl edits the
// unit files itself when told to work on the root file system.
bool managerReachable() {
    return runSystemctl({"show", "--property=Version"}) == 0;
}

Arguments inScope(bool reachable, Arguments arguments) {
    if (!reachable) arguments.insert(arguments.begin(), "--root=/");
    return arguments;
}

tl::expected<void, std::string> runStep(const Arguments& arguments) {
    int status = runSystemctl(arguments);
    if (status == 0) return {};
    std::string command = "systemctl --user";
    for (const auto& argument : arguments)
        if (!argument.empty() && argument[0] != '/') command += " " + argument;
    if (status < 0) return tl::unexpected(command + " could not be started");
    return tl::unexpected(command + " failed with exit status " + std::to_string(status));
}

}  // namespace

std::string socketUnitName() {
    return std::string(kit::VelmoraHelperIdentity::launchdLabel) + ".socket";
}

std::string serviceUnitName() {
    return std::string(kit::VelmoraHelperIdentity::launchdLabel) + ".service";
}

fs::path unitDirectory(const fs::path& bundle) {
    return bundle / "Contents" / "Library" / "systemd" / "user";
}

int runSystemctl(const std::vector<std::string>& arguments) {
    Arguments all{"--user"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    auto status = runChild(systemctlPath, all, ChildOutput::discarded);
    return status ? *status : -1;
}

tl::expected<void, std::string> checkBundleUnits(const fs::path& bundle) {
    for (const auto& unit : {socketUnitName(), serviceUnitName()}) {
        auto path = unitDirectory(bundle) / unit;
        std::error_code error;
        if (!fs::is_regular_file(path, error)) return tl::unexpected("No unit file at " + path.string());
    }
    return {};
}

tl::expected<void, std::string> registerBundle(const fs::path& bundle) {
    if (auto present = checkBundleUnits(bundle); !present) return present;
    bool reachable = managerReachable();
    auto units = unitDirectory(bundle);
    // --force replaces links left by a registration from another place.
    if (auto linked = runStep(inScope(reachable, {"link", "--force", (units / socketUnitName()).string(),
                                                  (units / serviceUnitName()).string()}));
        !linked)
        return linked;
    return runStep(reachable ? Arguments{"enable", "--now", socketUnitName()}
                             : inScope(false, {"enable", socketUnitName()}));
}

Status status() {
    bool reachable = managerReachable();
    if (runSystemctl(inScope(reachable, {"is-enabled", "--quiet", socketUnitName()})) != 0)
        return Status::notRegistered;
    if (!reachable) return Status::requiresApproval;
    return runSystemctl({"is-active", "--quiet", socketUnitName()}) == 0 ? Status::enabled
                                                                         : Status::notRegistered;
}

tl::expected<void, std::string> unregister() {
    // Stopped first: a unit whose file has gone is reloaded without its settings, and would leave
    // its socket files behind. Disabling removes the links as well as the enablement.
    stopRunningAgent();
    return runStep(inScope(managerReachable(), {"disable", socketUnitName(), serviceUnitName()}));
}

void restartRunningAgent() {
    (void)runSystemctl({"restart", socketUnitName()});
}

void stopRunningAgent() {
    (void)runSystemctl({"stop", socketUnitName(), serviceUnitName()});
}

bool runningInAgentService() {
    // One line per hierarchy: "ID:CONTROLLERS:PATH"; the service's own group ends in its unit name.
    std::ifstream groups("/proc/self/cgroup");
    std::string suffix = "/" + serviceUnitName();
    for (std::string line; std::getline(groups, line);)
        if (line.size() >= suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    return false;
}

}  // namespace velmora::helper::AgentUnits
