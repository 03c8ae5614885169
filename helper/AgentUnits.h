#pragma once

#include <filesystem>
#include <string>
#include <tl/expected.hpp>
#include <vector>

// The per-user agent as systemd user units. A helper bundle carries a socket unit (one listening
// socket per service name) and a service unit (the installed executable, no arguments) under
// Contents/Library/systemd/user/. Registering links both into the user's unit directory and enables
// the socket; the user manager then starts the helper on the first connection.
//
// Every operation runs /usr/bin/systemctl --user and waits for it, with its output discarded. When no
// user manager can be reached, the unit files are still linked and enabled on disk (systemctl
// --root=/), so that the agent starts at the next login: the "requires approval" state.
namespace velmora::helper::AgentUnits {

inline constexpr const char* systemctlPath = "/usr/bin/systemctl";

// com.norwick.VelmoraHelper.socket and com.norwick.VelmoraHelper.service.
std::string socketUnitName();
std::string serviceUnitName();
// bundle/Contents/Library/systemd/user
std::filesystem::path unitDirectory(const std::filesystem::path& bundle);

// systemctl --user `arguments`: its exit status, or -1 when it could not be started.
int runSystemctl(const std::vector<std::string>& arguments);

// Fails with a text naming the first unit file the bundle lacks.
[[nodiscard]] tl::expected<void, std::string> checkBundleUnits(const std::filesystem::path& bundle);

// The drop-in beside the service unit that points ExecStart= at the registering bundle's executable,
// so that the agent runs the bundle that registered it while the units sealed in it stay unchanged.
std::filesystem::path executableDropIn();
// The drop-in's text for `executable`; fails for a path that ExecStart= cannot carry.
[[nodiscard]] tl::expected<std::string, std::string> dropInText(const std::filesystem::path& executable);

// Writes the drop-in for the bundle (atomically), links the bundle's units and enables the socket
// (and starts it when a user manager is reachable). Fails with a text naming the step that failed.
[[nodiscard]] tl::expected<void, std::string> registerBundle(const std::filesystem::path& bundle);

enum class Status {
    notRegistered,
    // Enabled and the socket listens.
    enabled,
    // Linked and enabled, but no user manager is reachable to start it.
    requiresApproval,
};
Status status();

// Fails with the reason the agent would not start `bundle`'s executable: the drop-in does not name
// it, or the executable is no runnable program here.
[[nodiscard]] tl::expected<void, std::string> checkStartsBundle(const std::filesystem::path& bundle);

// Stops, disables and unlinks both units and removes the drop-in; fails with a text naming the step.
[[nodiscard]] tl::expected<void, std::string> unregister();

// Restarts the socket, which also restarts a running helper; otherwise the next connection starts
// the newly registered executable. The result is not looked at.
void restartRunningAgent();
// Stops the socket and a running helper. The result is not looked at.
void stopRunningAgent();

// True when this process runs in the agent service's own control group.
bool runningInAgentService();

}  // namespace velmora::helper::AgentUnits
