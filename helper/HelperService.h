#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <tl/expected.hpp>
#include <unordered_map>
#include <vector>

#include "core/update/HelperUpdater.h"
#include "helper/HelperClientCheck.h"
#include "helper/HelperConnectionSession.h"
#include "helper/HelperOpenShellCounter.h"
#include "kit/xpc/Listener.h"
#include "platform/Dispatch.h"

namespace velmora::helper {

// The helper's service mode: one listener per service name, one session per connection, and the exit
// once the helper has been without connections for `idleExitDelay`.
//
// `sessions_` and `idleTimer_` are touched only on `queue_`. Accepting reaches the queue with a
// synchronous hop, a connection's end with an asynchronous one. Order of taking: the queue first, then a
// session's shells lock.
class HelperService final : public kit::xpc::ListenerDelegate,
                            public std::enable_shared_from_this<HelperService> {
  public:
    static constexpr std::chrono::seconds idleExitDelay{60};

    static std::shared_ptr<HelperService> create();

    // Logs the start, clears what an interrupted update left in the install directory, publishes one listener
    // per service name (sockets inherited from the service manager where there are any, else bound under
    // $XDG_RUNTIME_DIR) and arms the idle timer. The error is a line for the person or log that started the
    // helper.
    [[nodiscard]] tl::expected<void, std::string> start();

    bool shouldAcceptNewConnection(kit::xpc::Listener& listener,
                                   const std::shared_ptr<kit::xpc::Connection>& connection) override;

    // The open shells of all connections. Never call it from the service queue.
    [[nodiscard]] std::int64_t openShellCount() const { return openShellCounter_->count(); }

  private:
    HelperService();

    // Adopts or binds a listener for every service name, not yet resumed.
    [[nodiscard]] tl::expected<void, std::string> takeListeners();
    void connectionDidEnd(const void* key);
    void scheduleIdleExitIfNeeded();
    [[nodiscard]] std::int64_t totalOpenShellCount() const;

    const std::shared_ptr<platform::DispatchQueue> queue_;
    std::vector<std::shared_ptr<kit::xpc::Listener>> listeners_;
    // Keyed by the connection's address; the key does not own the connection.
    std::unordered_map<const void*, std::shared_ptr<HelperConnectionSession>> sessions_;
    std::unique_ptr<platform::OneShotTimer> idleTimer_;
    // The one self-updater, shared with every session: at most one update runs in the helper.
    std::shared_ptr<core::HelperUpdater> updater_;
    const std::shared_ptr<HelperOpenShellCounter> openShellCounter_;
    // Lives as long as the service, and so as every connection given its requirement.
    HelperClientCheck clientCheck_;
};

}  // namespace velmora::helper
