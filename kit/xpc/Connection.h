#pragma once

// One end of a call connection: an AF_UNIX SOCK_SEQPACKET socket carrying JSON-RPC 2.0, one message per
// packet, with descriptors passed as SCM_RIGHTS beside the message.
//
// Each end exports one object (the helper's session, or the client's notification handler) and calls
// the other end through proxies. Incoming calls and notifications are delivered one at a time, in
// arrival order, on the transport's own threads (SocketReactor.h): the thread that the packet woke
// delivers it, and different connections' calls run on different threads at the same time. Replies,
// calls and notifications may be sent from any thread.
//
// Sending never blocks. Notifications are tried once: a full socket buffer or a gone peer reaches the
// proxy's error handler. Replies and calls that meet a full buffer wait in a bounded queue
// (kMaxQueuedPackets / kMaxQueuedBytes) that drains when the peer reads; a peer that lets the queue
// overflow is not reading, and its connection is ended. A peer with kMaxUnansweredCalls calls waiting for
// their replies is not read until some have been answered, so that it cannot pile up unbounded work.
//
// The connection ends once: on end-of-file or a socket error (the interruption handler runs, or the
// invalidation handler when no interruption handler is set), or on invalidate() or a peer that broke
// the protocol (the invalidation handler runs). Every call still outstanding then completes with an
// error through its proxy's error handler, exactly once. After the end, handlers and the exported
// object are released.
//
// Before the first incoming message is read, the peer's credentials (SO_PEERCRED) must pass the peer
// requirement: the same user id as this process, then any requirement the owner added. A peer that
// fails is accepted, and its connection ended before any of its messages is delivered. An asynchronous
// requirement decides later, on a thread of its own choosing; until it has, the peer's messages wait
// unread in the socket, none dropped.
//
// A connection made by connectToService() and one accepted by a Listener open with the handshake of
// Handshake.h: the accepting end admits the peer with the notification "rpc.accepted" once its checks
// have passed, and ends a peer that sent anything before; the connecting end holds every call,
// notification and reply made before that notification, and sends them in order once it has come.
//
// A resumed connection keeps itself alive until it ends; drop one with invalidate().
//
// Packets are received into one buffer per thread and parsed there, so an idle connection holds no
// receive buffer. When many connections of the process have ended, the allocator
// is asked to hand its free pages back (malloc_trim).

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "kit/xpc/Handshake.h"
#include "kit/xpc/InterfaceDescription.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::kit::xpc {

// Largest packet either end sends or accepts.
inline constexpr size_t kMaxPacketSize = 128 * 1024;
// Most descriptors accepted with one packet; more truncate the control data and drop the message.
inline constexpr size_t kMaxDescriptorsPerPacket = 4;
// Bound on what waits for a peer that does not read.
inline constexpr size_t kMaxQueuedPackets = 64;
inline constexpr size_t kMaxQueuedBytes = 512 * 1024;
// Calls delivered and not yet answered, per connection, beyond which the peer is not read until some are.
inline constexpr size_t kMaxUnansweredCalls = 256;

// JSON-RPC 2.0 error codes.
namespace rpc {
inline constexpr int parseError = -32700;
inline constexpr int invalidRequest = -32600;
inline constexpr int methodNotFound = -32601;
inline constexpr int invalidParams = -32602;
inline constexpr int internalError = -32603;
}  // namespace rpc

struct RpcError {
    int code = rpc::internalError;
    std::string message;

    friend bool operator==(const RpcError&, const RpcError&) = default;
};

// Why a call or notification did not get through.
struct ConnectionError {
    enum class Kind {
        invalidated,   // the connection has ended (or never was usable)
        sendFailed,    // the system refused the send; description is its text
        remoteError,   // the peer answered with a JSON-RPC error; code is its code
        invalidReply,  // the peer's reply did not match the method's reply shape
    };
    Kind kind = Kind::invalidated;
    int code = 0;
    std::string description;

    friend bool operator==(const ConnectionError&, const ConnectionError&) = default;
};
using ErrorHandler = std::function<void(const ConnectionError&)>;

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    // A pidfd of the peer, owned by the connection until the peer has been admitted or refused; -1
    // when none could be had. From SO_PEERPIDFD, which names the process that connected even after its pid is
    // reused; where the kernel lacks it, opened from `pid` at accept: weaker, since the peer may have exited
    // and its pid been reused by then.
    int pidfd = -1;
    // True once the peer has closed its end (or the connection has ended): a check may stop then.
    std::function<bool()> hungUp;
};
// Passes, or returns why the peer is refused.
using PeerRequirement = std::function<tl::expected<void, std::string>(const PeerCredentials&)>;
// Called exactly once, from any thread, with why the peer is refused, or nothing when it passes.
using PeerDecision = std::function<void(std::optional<std::string> refusal)>;
// Starts deciding about the peer and returns at once. The credentials (and their descriptor) stay
// valid until `decided` has been called.
using AsynchronousPeerRequirement = std::function<void(const PeerCredentials&, PeerDecision decided)>;

class Connection;

namespace detail {
// An outstanding call of this end; exactly one of the two runs.
struct PendingCall {
    std::string selector;
    // Decodes the result and invokes the reply; returns why the result did not fit.
    std::function<tl::expected<void, std::string>(const nlohmann::json& result,
                                                  std::vector<platform::UniqueFd>& fds)>
        complete;
    ErrorHandler fail;
};

// Where an incoming call came from: the connection to answer on and the request id (none for a
// notification).
struct CallContext {
    std::weak_ptr<Connection> connection;
    std::optional<nlohmann::json> id;
    // Set once the transport's reply for this call exists: from then on that reply answers the call,
    // even when delivery fails by throwing.
    mutable bool replyMade = false;
};

// An exported object with the generated routine that decodes and delivers calls to it.
struct ExportedObject {
    std::string protocolName;
    std::shared_ptr<void> object;
    tl::expected<void, RpcError> (*dispatch)(void* object, std::string_view selector,
                                             const nlohmann::json& params,
                                             std::vector<platform::UniqueFd>& fds,
                                             const CallContext& context) = nullptr;
};
}  // namespace detail

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // Connects to the listening socket at `socketPath`; the connection starts suspended.
    [[nodiscard]] static tl::expected<std::shared_ptr<Connection>, platform::SystemError> connectToService(
        const std::string& socketPath);
    // Takes over a connected SOCK_SEQPACKET socket: from accept (Handshake::announce), from connect
    // (Handshake::await), or one end of a socketpair.
    [[nodiscard]] static tl::expected<std::shared_ptr<Connection>, platform::SystemError> adopt(
        platform::UniqueFd socket, Handshake handshake = Handshake::none);

    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Set-up, before resume().
    void setExportedInterface(InterfaceDescription interface);
    template <class Protocol>
    void setExportedObject(std::shared_ptr<Protocol> object);
    void setRemoteObjectInterface(InterfaceDescription interface);
    void setInvalidationHandler(std::function<void()> handler);
    void setInterruptionHandler(std::function<void()> handler);
    // Added to the same-user rule, which always applies.
    void setPeerRequirement(PeerRequirement requirement);
    // The same, decided off the thread that resumes the connection (for checks that read files).
    void setAsynchronousPeerRequirement(AsynchronousPeerRequirement requirement);

    // A proxy of the peer's exported object, or null when the remote interface is not `Protocol`'s.
    // Failures of calls made through it reach `errorHandler`, once per call.
    template <class Protocol>
    [[nodiscard]] std::shared_ptr<Protocol> remoteObjectProxyWithErrorHandler(ErrorHandler errorHandler);

    // Starts delivering messages (after checking the peer). Idempotent.
    void resume();
    // Ends the connection from this side. Idempotent; safe from any thread and from handlers.
    void invalidate();
    [[nodiscard]] bool isValid() const;

    [[nodiscard]] pid_t processIdentifier() const { return peer_.pid; }
    [[nodiscard]] uid_t effectiveUserIdentifier() const { return peer_.uid; }
    [[nodiscard]] gid_t effectiveGroupIdentifier() const { return peer_.gid; }

    // ---- Used by generated proxy and reply code.
    void sendCall(std::string_view selector, nlohmann::json params, std::vector<platform::UniqueFd> fds,
                  detail::PendingCall pending);
    void sendNotification(std::string_view selector, nlohmann::json params,
                          std::vector<platform::UniqueFd> fds, const ErrorHandler& errorHandler);
    void sendResponse(const nlohmann::json& id, nlohmann::json result, std::vector<platform::UniqueFd> fds);
    void sendErrorResponse(const nlohmann::json& id, const RpcError& error);

    struct Impl;

  private:
    enum class EndCause { local, peer };
    explicit Connection(std::unique_ptr<Impl> impl);
    void setExported(detail::ExportedObject exported);
    [[nodiscard]] std::optional<InterfaceDescription> remoteInterface() const;

    [[nodiscard]] std::uint32_t wantedEventsLocked() const;
    [[nodiscard]] tl::expected<void, platform::SystemError> armLocked();
    void socketReady(std::uint32_t events);
    void readPacket();
    void handlePacket(std::string_view packet, bool truncated, std::vector<platform::UniqueFd> fds);
    void handleRequest(const nlohmann::json& message, std::vector<platform::UniqueFd> fds);
    void handleResponse(const nlohmann::json& message, std::vector<platform::UniqueFd> fds);

    enum class SendMode { queueWhenFull, failWhenFull };
    [[nodiscard]] tl::expected<void, platform::SystemError> send(std::string bytes,
                                                                 std::vector<platform::UniqueFd> fds,
                                                                 SendMode mode);
    void sendError(const nlohmann::json& id, const RpcError& error);
    void callAnswered();
    void flushQueue();
    void end(EndCause cause, std::string_view reason);
    void admitPeer(std::optional<std::string> refusal);
    [[nodiscard]] bool announceAcceptance();
    [[nodiscard]] bool takeAcceptance(std::string_view packet);

    std::unique_ptr<Impl> impl_;
    PeerCredentials peer_;
    platform::UniqueFd peerProcess_;
};

}  // namespace velmora::kit::xpc
