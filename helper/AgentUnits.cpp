#include "helper/AgentUnits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "codesign/ExecutionPolicy.h"
#include "core/update/HelperUpdaterIO.h"
#include "helper/ChildProcess.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/Environment.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::helper::AgentUnits {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;

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

std::string failedCall(const char* call, const fs::path& path) {
    return "Could not write \"" + path.string() + "\": " + platform::SystemError{call, errno}.reason();
}

// Writes `text` to `path` through a fresh sibling that is flushed and then renamed over it, so the
// manager reads the old text or the new one, never a part.
tl::expected<void, std::string> replaceFile(const fs::path& path, const std::string& text) {
    if (auto created = core::HelperUpdaterIO::createDirectories(path.parent_path()); !created) return created;
    auto temporary = path.parent_path() /
                     ("." + path.filename().string() + "-" + core::HelperUpdaterIO::makeRunIdentifier());
    auto written = [&]() -> tl::expected<void, std::string> {
        platform::UniqueFd file(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!file.valid()) return tl::unexpected(failedCall("open", temporary));
        if (::fchmod(file.get(), 0644) != 0) return tl::unexpected(failedCall("fchmod", temporary));
        for (size_t done = 0; done < text.size();) {
            auto count = ::write(file.get(), text.data() + done, text.size() - done);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) return tl::unexpected(failedCall("write", temporary));
            done += static_cast<size_t>(count);
        }
        if (::fsync(file.get()) != 0) return tl::unexpected(failedCall("fsync", temporary));
        if (::close(file.release()) != 0) return tl::unexpected(failedCall("close", temporary));
        if (::rename(temporary.c_str(), path.c_str()) != 0) return tl::unexpected(failedCall("rename", path));
        return {};
    }();
    if (!written) ::unlink(temporary.c_str());
    return written;
}

}  // namespace

fs::path executableDropIn() {
    auto config = platform::environmentValue("XDG_CONFIG_HOME");
    fs::path base = config && fs::path(*config).is_absolute() ? fs::path(*config)
                                                              : platform::currentHomeDirectory() / ".config";
    return base / "systemd/user" / (serviceUnitName() + ".d") / "executable.conf";
}

tl::expected<std::string, std::string> dropInText(const fs::path& executable) {
    // The manager resolves % specifiers in the executable's path (not $ variables, which it expands in
    // arguments only): each % is doubled so the path arrives as it is. It refuses to run a path holding
    // a quote, a backslash or a control character however they are escaped.
    std::string quoted;
    for (char c : executable.string()) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\' || c == '"' || c == '\'')
            return tl::unexpected("The agent cannot start " + executable.string() +
                                  ": the service manager runs no executable whose path holds a quote, a "
                                  "backslash or a control character");
        if (c == '%') quoted += c;
        quoted += c;
    }
    return "# Written by --register: the agent runs the bundle that registered it.\n[Service]\nExecStart=\n"
           "ExecStart=\"" +
           quoted + "\"\n";
}

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
    // Written before linking: the reload that linking does reads it with the units.
    auto text = dropInText(Identity::executableURL(bundle));
    if (!text) return tl::unexpected(text.error());
    if (auto written = replaceFile(executableDropIn(), *text); !written) return written;
    bool reachable = managerReachable();
    auto units = unitDirectory(bundle);
    // --force replaces links left by a registration from another place.
    if (auto linked = runStep(inScope(reachable, {"link", "--force", (units / socketUnitName()).string(),
                                                  (units / serviceUnitName()).string()}));
        !linked)
        return linked;
    return runStep(reachable ? Arguments{"enable", "--now", socketUnitName()}
                             : inScope(reachable, {"enable", socketUnitName()}));
}

Status status() {
    bool reachable = managerReachable();
    if (runSystemctl(inScope(reachable, {"is-enabled", "--quiet", socketUnitName()})) != 0)
        return Status::notRegistered;
    if (!reachable) return Status::requiresApproval;
    return runSystemctl({"is-active", "--quiet", socketUnitName()}) == 0 ? Status::enabled
                                                                         : Status::notRegistered;
}

tl::expected<void, std::string> checkStartsBundle(const fs::path& bundle) {
    auto executable = Identity::executableURL(bundle);
    std::ifstream file(executableDropIn());
    std::stringstream written;
    written << file.rdbuf();
    auto expected = dropInText(executable);
    if (!expected || written.str() != *expected)
        return tl::unexpected(executableDropIn().string() + " does not start " + executable.string());
    if (auto runnable = codesign::assessExecutionPolicy(executable); !runnable)
        return tl::unexpected("The agent could not start " + executable.string() + ": " +
                              runnable.error().description);
    return {};
}

tl::expected<void, std::string> unregister() {
    // Stopped first: a unit whose file has gone is reloaded without its settings, and would leave
    // its socket files behind. Disabling removes the links as well as the enablement, and reloads the
    // manager without the drop-in.
    // Offline, the manager disables units that were never there without a word: the links tell.
    const auto unitDirectory = executableDropIn().parent_path().parent_path();
    std::error_code ignored;
    const bool registered = fs::exists(fs::symlink_status(unitDirectory / socketUnitName(), ignored)) ||
                            fs::exists(fs::symlink_status(unitDirectory / serviceUnitName(), ignored)) ||
                            fs::exists(executableDropIn(), ignored);
    stopRunningAgent();
    fs::remove(executableDropIn(), ignored);
    fs::remove(executableDropIn().parent_path(), ignored);  // only when empty
    auto disabled = runStep(inScope(managerReachable(), {"disable", socketUnitName(), serviceUnitName()}));
    if (disabled && !registered) return tl::unexpected(socketUnitName() + " is not registered");
    return disabled;
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
