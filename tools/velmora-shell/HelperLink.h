#pragma once

// velmora-shell's link to the helper: finding its socket, starting a helper when none listens, the
// connection with this client's notification handlers, and one call waited for.

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <tl/expected.hpp>
#include <tuple>
#include <utility>

#include "kit/HelperErrors.h"
#include "kit/xpc/VelmoraHelperXPC.h"

namespace velmora::shell {

// Exit statuses a script can rely on; the README and the manual page list them.
namespace exitStatus {
inline constexpr int ok = 0;
inline constexpr int failed = 1;        // the helper answered with a failure, or the session broke
inline constexpr int usage = 64;        // bad arguments
inline constexpr int dataError = 65;    // the manifest file is no release manifest
inline constexpr int noInput = 66;      // the manifest file cannot be read
inline constexpr int unavailable = 69;  // no helper could be reached or started
inline constexpr int tryAgain = 75;     // the helper is busy: a shell is open, or an update runs
}  // namespace exitStatus

// How a command ended: its exit status and, when it failed, why (one line for a person).
struct Outcome {
    int status = exitStatus::ok;
    std::string message;
};

inline Outcome failure(std::string message, int status = exitStatus::failed) {
    return Outcome{status, std::move(message)};
}

// Whether this client runs in a sandbox (Flatpak, bubblewrap, a container): its shells are wanted on
// the host, through the host's helper.
bool inSandbox();

// Where the helper listens. `mayStart` is false for a socket named on the command line: only the
// default sockets under $XDG_RUNTIME_DIR are ones a helper can be started on; and false in a sandbox,
// where a helper started would open its shells inside.
struct HelperAddress {
    std::string socketPath;
    bool mayStart = true;
    bool sandboxed = false;
};

// The explicit socket, or the first service name under $XDG_RUNTIME_DIR.
tl::expected<HelperAddress, Outcome> helperAddress(const std::optional<std::string>& explicitSocket);

// What the helper tells this client. Handlers run on the connection's strand, one at a time, in the
// order the helper sent them; any may be empty.
struct ClientHandlers {
    std::function<void(std::int32_t pid, std::int32_t status, std::int32_t signal)> shellDidExit;
    std::function<void(const kit::HelperUpdateEvent&)> updateEvent;
    // The connection ended (helper gone, or invalidated).
    std::function<void()> ended;
};

// Connects, starting a helper first where nothing listens on a default socket.
tl::expected<std::shared_ptr<kit::xpc::Connection>, Outcome> connectToHelper(const HelperAddress& address,
                                                                             ClientHandlers handlers);

// One line for a person about a call that got no reply.
std::string describe(const kit::xpc::ConnectionError& error);

// Makes one call and waits for its reply or its error; the transport completes every call exactly once.
template <class... Values, class Call>
tl::expected<std::tuple<Values...>, kit::xpc::ConnectionError> callAndWait(kit::xpc::Connection& connection,
                                                                           Call call) {
    using Result = tl::expected<std::tuple<Values...>, kit::xpc::ConnectionError>;
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future();
    auto proxy = connection.remoteObjectProxyWithErrorHandler<kit::VelmoraHelperXPCProtocol>(
        [promise](const kit::xpc::ConnectionError& error) { promise->set_value(tl::unexpected(error)); });
    if (!proxy) return tl::unexpected(kit::xpc::ConnectionError{});
    call(*proxy, kit::Reply<Values...>([promise](Values... values) {
        promise->set_value(std::tuple<Values...>(std::move(values)...));
    }));
    return future.get();
}

}  // namespace velmora::shell
