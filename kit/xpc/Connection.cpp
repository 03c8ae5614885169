#include "kit/xpc/Connection.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>

#include "kit/JsonCodec.h"
#include "kit/xpc/PacketIO.h"
#include "kit/xpc/PlainJson.h"
#include "kit/xpc/SocketReactor.h"
#include "platform/Journal.h"

namespace velmora::kit::xpc {

using nlohmann::json;
using platform::SystemError;
using platform::UniqueFd;

namespace {
// One receive buffer per thread, large enough for the largest packet; a packet is parsed where it
// landed, so a connection holds no buffer between packets. Left uninitialised, so that only the pages
// packets were written to become resident: small calls keep one page per thread, not 128 KiB.
std::span<char> receiveBuffer() {
    thread_local std::unique_ptr<char[]> buffer(new char[kMaxPacketSize]);
    return {buffer.get(), kMaxPacketSize};
}

// A burst of connections leaves its freed memory scattered over the allocator's arenas, which keep
// it. Each time the connections alive have fallen to half of their most since the last hand-back, and
// by many, the free pages go back to the system: a few trims per burst, none in steady use.
class LiveConnections {
  public:
    static void began() {
        std::lock_guard lock(mutex_);
        peak_ = std::max(peak_, ++live_);
    }
    static void ended() {
        bool trim = false;
        {
            std::lock_guard lock(mutex_);
            --live_;
            if (peak_ - live_ >= kTrimAfter && live_ <= peak_ / 2) {
                peak_ = live_;
                trim = true;
            }
        }
        if (trim) ::malloc_trim(0);
    }

  private:
    static constexpr size_t kTrimAfter = 32;
    static inline std::mutex mutex_;
    static inline size_t live_ = 0;
    static inline size_t peak_ = 0;
};

struct QueuedPacket {
    std::string bytes;
    std::vector<UniqueFd> fds;
};

void logError(const PeerCredentials& peer, std::string_view reason) {
    platform::journalSend(
        "service", platform::LogLevel::error,
        "Ending connection from pid=" + std::to_string(peer.pid) + ": " + std::string(reason));
}

// A message's envelope is written around its parts directly: building it as a document first would cost
// a map with its keys, and a copy of the parameters, per message.
class Envelope {
  public:
    Envelope& member(std::string_view key, const json& value) {
        bytes_ += ",\"";
        bytes_ += key;
        bytes_ += "\":";
        write(value);
        return *this;
    }
    std::string finish() {
        bytes_ += '}';
        return std::move(bytes_);
    }

  private:
    // The serializer writes a string a character at a time. A string with nothing to escape (all of
    // base64, most paths) goes in whole, and numbers and arrays of such values are written around it;
    // the bytes are the serializer's own either way.
    void write(const json& value) {
        switch (value.type()) {
            case json::value_t::string: {
                const auto& text = value.get_ref<const std::string&>();
                if (std::all_of(text.begin(), text.end(), isPlainCharacter)) {
                    bytes_ += '"';
                    bytes_ += text;
                    bytes_ += '"';
                    return;
                }
                break;
            }
            case json::value_t::number_integer:
                bytes_ += std::to_string(value.get<std::int64_t>());
                return;
            case json::value_t::array: {
                bytes_ += '[';
                for (auto element = value.begin(); element != value.end(); ++element) {
                    if (element != value.begin()) bytes_ += ',';
                    write(*element);
                }
                bytes_ += ']';
                return;
            }
            default:
                break;
        }
        serializer_.dump(value, false, false, 0);
    }

    std::string bytes_{R"({"jsonrpc":"2.0")"};
    nlohmann::detail::serializer<json> serializer_{nlohmann::detail::output_adapter<char>(bytes_), ' ',
                                                   json::error_handler_t::replace};
};

bool isValidId(const json& id) {
    return id.is_number_integer() || id.is_string();
}

// Installed headers predate the option (Linux 6.5).
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

// A pidfd of the peer process: SO_PEERPIDFD names the process that connected; where the kernel lacks
// it, the pid from SO_PEERCRED is opened now, which names whatever holds that pid at this moment.
UniqueFd peerProcessDescriptor(int socket, pid_t pid) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
        return UniqueFd(pidfd);
    }
    if (pid <= 0) return {};
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}
}  // namespace

struct Connection::Impl {
    explicit Impl(int descriptor) : socket(descriptor), fd(descriptor) { LiveConnections::began(); }
    ~Impl() { LiveConnections::ended(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Closed under `mutex`, and never while a reactor thread is handling the socket.
    UniqueFd socket;
    const int fd;

    enum class State { suspended, active, ended };

    mutable std::mutex mutex;
    State state = State::suspended;
    bool resumed = false;
    std::optional<InterfaceDescription> exportedInterface;
    std::optional<InterfaceDescription> remoteInterface;
    std::optional<detail::ExportedObject> exported;
    std::function<void()> invalidationHandler;
    std::function<void()> interruptionHandler;
    PeerRequirement requirement;
    AsynchronousPeerRequirement asynchronousRequirement;
    std::map<std::int64_t, detail::PendingCall> pending;
    std::int64_t nextId = 1;
    std::deque<QueuedPacket> queue;
    size_t queuedBytes = 0;
    // The reactor's watch of the socket, from the first time it is armed until it is closed.
    std::optional<std::uint64_t> watchKey;
    // A reactor thread is handling the socket: it re-arms the watch, or closes the socket, when done.
    bool handling = false;
    std::uint32_t missedEvents = 0;
    // Calls delivered with a reply that has not answered yet (briefly negative when one answers at once).
    std::ptrdiff_t unanswered = 0;
    Handshake handshake = Handshake::none;
    // "rpc.accepted" has been announced (accepting end) or heard (connecting end); until then nothing
    // is sent, only held in `queue`.
    std::atomic<bool> accepted = true;
    // An admitted connection keeps itself alive until it ends.
    std::shared_ptr<Connection> self;

    void closeSocket() {
        if (watchKey) SocketReactor::shared().forget(fd, *watchKey);
        watchKey.reset();
        socket.reset();
    }
};

tl::expected<std::shared_ptr<Connection>, SystemError> Connection::connectToService(
    const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path))
        return tl::unexpected(SystemError{"connect", ENAMETOOLONG});
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return tl::unexpected(SystemError::fromErrno("socket"));
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return tl::unexpected(SystemError::fromErrno("connect"));
    return adopt(std::move(socket), Handshake::await);
}

tl::expected<std::shared_ptr<Connection>, SystemError> Connection::adopt(UniqueFd socket,
                                                                         Handshake handshake) {
    PeerCredentials peer;
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return tl::unexpected(SystemError::fromErrno("getsockopt"));
    peer = PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
    int flags = ::fcntl(socket.get(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return tl::unexpected(SystemError::fromErrno("fcntl"));
    // Before the peer can have been admitted, so every packet it may send carries its sender's pid.
    int passCredentials = 1;
    if (handshake == Handshake::announce &&
        ::setsockopt(socket.get(), SOL_SOCKET, SO_PASSCRED, &passCredentials, sizeof passCredentials) != 0)
        return tl::unexpected(SystemError::fromErrno("setsockopt"));
    UniqueFd process = peerProcessDescriptor(socket.get(), peer.pid);
    peer.processDescriptor = process.get();
    auto connection = std::shared_ptr<Connection>(new Connection(std::make_unique<Impl>(socket.release())));
    connection->peer_ = peer;
    connection->peerProcess_ = std::move(process);
    connection->impl_->handshake = handshake;
    connection->impl_->accepted = handshake == Handshake::none;
    return connection;
}

Connection::Connection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Connection::~Connection() {
    // Nothing references this connection any more, so no read is in flight; calls made through
    // proxies that outlived it still get their error.
    std::map<std::int64_t, detail::PendingCall> pending;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->closeSocket();
        if (impl_->state == Impl::State::ended) return;
        impl_->state = Impl::State::ended;
        pending.swap(impl_->pending);
    }
    for (auto& [id, call] : pending)
        if (call.fail) call.fail(ConnectionError{ConnectionError::Kind::invalidated, 0, "connection ended"});
}

void Connection::setExportedInterface(InterfaceDescription interface) {
    std::lock_guard lock(impl_->mutex);
    impl_->exportedInterface = std::move(interface);
}

void Connection::setExported(detail::ExportedObject exported) {
    std::lock_guard lock(impl_->mutex);
    impl_->exported = std::move(exported);
}

void Connection::setRemoteObjectInterface(InterfaceDescription interface) {
    std::lock_guard lock(impl_->mutex);
    impl_->remoteInterface = std::move(interface);
}

std::optional<InterfaceDescription> Connection::remoteInterface() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->remoteInterface;
}

void Connection::setInvalidationHandler(std::function<void()> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->invalidationHandler = std::move(handler);
}

void Connection::setInterruptionHandler(std::function<void()> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->interruptionHandler = std::move(handler);
}

void Connection::setPeerRequirement(PeerRequirement requirement) {
    std::lock_guard lock(impl_->mutex);
    impl_->requirement = std::move(requirement);
}

void Connection::setAsynchronousPeerRequirement(AsynchronousPeerRequirement requirement) {
    std::lock_guard lock(impl_->mutex);
    impl_->asynchronousRequirement = std::move(requirement);
}

bool Connection::isValid() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->state != Impl::State::ended;
}

void Connection::resume() {
    PeerRequirement requirement;
    AsynchronousPeerRequirement asynchronousRequirement;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->resumed || impl_->state == Impl::State::ended) return;
        impl_->resumed = true;
        requirement = impl_->requirement;
        asynchronousRequirement = impl_->asynchronousRequirement;
    }
    std::optional<std::string> refusal;
    if (peer_.uid != ::geteuid())
        refusal = "peer runs as user " + std::to_string(peer_.uid) + ", not " + std::to_string(::geteuid());
    else if (requirement)
        refusal = requirement(peer_);
    if (refusal || !asynchronousRequirement) return admitPeer(std::move(refusal));
    peer_.hungUp = [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return true;
        std::lock_guard lock(self->impl_->mutex);
        return self->impl_->state == Impl::State::ended || hasHungUp(self->impl_->fd);
    };
    // The decision keeps the connection, and so the credentials' descriptor, alive until it comes.
    asynchronousRequirement(peer_, [self = shared_from_this()](std::optional<std::string> decided) {
        self->admitPeer(std::move(decided));
    });
}

void Connection::admitPeer(std::optional<std::string> refusal) {
    // The peer's pidfd served the decision only; a connection should cost one descriptor.
    peerProcess_.reset();
    peer_.processDescriptor = -1;
    if (refusal) {
        logError(peer_, "peer requirement not met: " + *refusal);
        end(EndCause::local, *refusal);
        return;
    }
    if (impl_->handshake == Handshake::announce && !announceAcceptance()) return;
    std::optional<SystemError> failed;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state == Impl::State::ended) return;
        impl_->state = Impl::State::active;
        impl_->self = shared_from_this();
        if (!impl_->handling) failed = armLocked();
    }
    if (failed) end(EndCause::local, failed->description());
}

bool Connection::announceAcceptance() {
    EarlyInput early = EarlyInput::none;
    std::optional<SystemError> failed;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state == Impl::State::ended) return false;
        early = inputWaiting(impl_->fd);
        if (early == EarlyInput::none) {
            auto sent = sendPacket(impl_->fd, kAcceptedAnnouncement, {});
            if (sent)
                impl_->accepted = true;
            else
                failed = sent.error();
        }
    }
    if (early == EarlyInput::packet) {
        logError(peer_, "it sent a packet before it was admitted, so before its executable was checked");
        end(EndCause::local, "sent before admitted");
    } else if (early == EarlyInput::endOfFile) {
        end(EndCause::peer, "end of file");
    } else if (failed) {
        end(EndCause::peer, failed->description());
    }
    return early == EarlyInput::none && !failed;
}

bool Connection::takeAcceptance(std::string_view packet) {
    // Only the thread handling the socket sets it on this end, so reading it unlocked is current.
    if (impl_->accepted.load(std::memory_order_relaxed)) return false;
    if (isAcceptedAnnouncement(packet)) {
        {
            std::lock_guard lock(impl_->mutex);
            impl_->accepted = true;
        }
        flushQueue();  // what was held goes out now, in order
        return true;
    }
    logError(peer_, "its first packet is not \"rpc.accepted\"");
    end(EndCause::local, "no acceptance");
    return true;
}

void Connection::invalidate() {
    end(EndCause::local, "invalidated");
}

void Connection::end(EndCause cause, std::string_view) {
    // Released last: it may hold the last reference to this connection.
    std::shared_ptr<Connection> self;
    std::map<std::int64_t, detail::PendingCall> pending;
    std::function<void()> handler;
    std::function<void()> otherHandler;
    std::optional<detail::ExportedObject> exported;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state == Impl::State::ended) return;
        impl_->state = Impl::State::ended;
        pending.swap(impl_->pending);
        impl_->queue.clear();
        impl_->queuedBytes = 0;
        exported.swap(impl_->exported);
        handler = std::move(impl_->invalidationHandler);
        otherHandler = std::move(impl_->interruptionHandler);
        impl_->invalidationHandler = nullptr;
        impl_->interruptionHandler = nullptr;
        self = std::move(impl_->self);
        // A reactor thread handling the socket closes it on its way out.
        if (!impl_->handling) impl_->closeSocket();
    }
    if (cause == EndCause::peer && otherHandler) std::swap(handler, otherHandler);
    for (auto& [id, call] : pending)
        if (call.fail) call.fail(ConnectionError{ConnectionError::Kind::invalidated, 0, "connection ended"});
    if (handler) handler();
}

// ---- Reading

std::uint32_t Connection::wantedEventsLocked() const {
    std::uint32_t events = 0;
    if (impl_->state == Impl::State::active && impl_->unanswered < std::ptrdiff_t{kMaxUnansweredCalls})
        events |= EPOLLIN | EPOLLRDHUP;
    if (!impl_->queue.empty() && impl_->accepted) events |= EPOLLOUT;
    return events;
}

std::optional<SystemError> Connection::armLocked() {
    const std::uint32_t events = wantedEventsLocked();
    if (events == 0 || !impl_->socket.valid()) return std::nullopt;
    auto& reactor = SocketReactor::shared();
    if (impl_->watchKey) return reactor.rearm(impl_->fd, *impl_->watchKey, events);
    auto key = reactor.watch(impl_->fd, events, weak_from_this(), [](void* target, std::uint32_t fired) {
        static_cast<Connection*>(target)->socketReady(fired);
    });
    if (!key) return key.error();
    impl_->watchKey = *key;
    return std::nullopt;
}

void Connection::socketReady(std::uint32_t events) {
    {
        std::lock_guard lock(impl_->mutex);
        // Another thread took an event of a watch re-armed in between; it handles this one too.
        if (impl_->handling) {
            impl_->missedEvents |= events;
            return;
        }
        if (!impl_->socket.valid()) return;
        impl_->handling = true;
    }
    for (;;) {
        if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) flushQueue();
        // One packet per event: the watch is level-triggered, so a socket with more to read reports
        // again at once, and no read is spent finding the socket empty.
        if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0) readPacket();
        std::optional<SystemError> failed;
        {
            std::lock_guard lock(impl_->mutex);
            if (impl_->missedEvents != 0) {
                events = std::exchange(impl_->missedEvents, 0);
                continue;
            }
            impl_->handling = false;
            if (impl_->state == Impl::State::ended) {
                impl_->closeSocket();
                return;
            }
            failed = armLocked();
        }
        if (failed) end(EndCause::local, failed->description());
        return;
    }
}

void Connection::readPacket() {
    {
        // Nothing is read before the peer has been admitted, nor while it has too many calls unanswered
        // (a hang-up is reported even then).
        std::lock_guard lock(impl_->mutex);
        if ((wantedEventsLocked() & EPOLLIN) == 0) return;
    }
    std::span<char> buffer = receiveBuffer();
    for (;;) {
        auto received = receivePacket(impl_->fd, buffer, kMaxDescriptorsPerPacket);
        if (!received) {
            if (received.error().code == EINTR) continue;
            if (received.error().code != EAGAIN && received.error().code != EWOULDBLOCK)
                end(EndCause::peer, received.error().description());
            return;
        }
        if (received->endOfFile) {
            end(EndCause::peer, "end of file");
            return;
        }
        if (impl_->handshake == Handshake::announce && received->sender != peer_.pid) {
            // The admitted process is the one that was checked; another one holding its socket (a child
            // it forked, a thief with pidfd_getfd) was not.
            logError(peer_, "a packet came from pid=" + std::to_string(received->sender.value_or(0)) +
                                ", not from the admitted client");
            end(EndCause::local, "packet from another process");
            return;
        }
        const bool truncated = received->length > buffer.size();
        const std::string_view packet(buffer.data(), std::min(received->length, buffer.size()));
        if (received->controlTruncated) {
            // Every descriptor that did arrive is closed with the message.
            auto id = readableId(packet);
            if (id) sendError(*id, RpcError{rpc::invalidRequest, "too many descriptors attached"});
            return;
        }
        handlePacket(packet, truncated, std::move(received->fds));
        return;
    }
}

void Connection::handlePacket(std::string_view packet, bool truncated, std::vector<UniqueFd> fds) {
    if (takeAcceptance(packet)) return;
    if (truncated) {
        auto id = readableId(packet);
        sendError(id.value_or(nullptr), RpcError{rpc::invalidRequest, "packet larger than 131072 bytes"});
        return;
    }
    json message;
    if (auto plain = parsePlainJson(packet)) {
        message = std::move(*plain);
    } else {
        // Copying, comparing and printing a document all recurse once per level, so a deep one from
        // the peer would exhaust this thread's stack: it is refused before it is ever built.
        if (jsoncodec::nestsTooDeeply(packet)) {
            sendError(
                readableId(packet).value_or(nullptr),
                RpcError{rpc::parseError, "invalid JSON: nested deeper than " +
                                              std::to_string(jsoncodec::maximumNestingDepth) + " levels"});
            return;
        }
        message = json::parse(packet.begin(), packet.end(), nullptr, false);
        if (message.is_discarded()) {
            sendError(readableId(packet).value_or(nullptr), RpcError{rpc::parseError, "invalid JSON"});
            return;
        }
    }
    auto invalid = [&](std::string text) {
        json id = message.is_object() && message.contains("id") && isValidId(message["id"]) ? message["id"]
                                                                                            : json();
        sendError(id, RpcError{rpc::invalidRequest, std::move(text)});
    };
    if (!message.is_object()) return invalid("not a JSON-RPC object");
    auto version = message.find("jsonrpc");
    if (version == message.end() || *version != "2.0") return invalid("not JSON-RPC 2.0");
    // Only a response may carry an id that is no id (null, when the peer could not read our message);
    // a request's id is echoed in its answer, so it must be one.
    bool badId = message.contains("id") && !isValidId(message["id"]);
    if (message.contains("method")) {
        if (badId) return invalid("invalid id");
        return handleRequest(message, std::move(fds));
    }
    if (message.contains("result") || message.contains("error"))
        return handleResponse(message, std::move(fds));
    invalid(badId ? "invalid id" : "neither a request nor a response");
}

void Connection::handleRequest(const json& message, std::vector<UniqueFd> fds) {
    std::optional<json> id;
    if (auto found = message.find("id"); found != message.end()) id = *found;
    static const json noParams = json::array();
    const auto& method = message["method"];
    const auto& params = message.contains("params") ? message["params"] : noParams;
    auto fail = [&](const RpcError& error) {
        if (id) {
            sendError(*id, error);
        } else {
            platform::journalSend(
                "service", platform::LogLevel::error,
                "Dropped notification from pid=" + std::to_string(peer_.pid) + ": " + error.message);
        }
    };
    if (!method.is_string() || !params.is_array())
        return fail(RpcError{rpc::invalidRequest, "method must be a string and params an array"});
    // Only what delivery needs is taken out of the lock: no copy of the protocol's name per call.
    std::shared_ptr<void> object;
    decltype(detail::ExportedObject::dispatch) dispatch = nullptr;
    {
        std::lock_guard lock(impl_->mutex);
        const auto& exported = impl_->exported;
        const auto& interface = impl_->exportedInterface;
        if (exported && interface && exported->protocolName == interface->protocolName &&
            interface->find(method.get_ref<const std::string&>())) {
            object = exported->object;
            dispatch = exported->dispatch;
        }
    }
    if (!object || !dispatch)
        return fail(RpcError{rpc::methodNotFound, "unknown method " + method.get<std::string>()});
    detail::CallContext context{weak_from_this(), id};
    std::optional<RpcError> error;
    std::optional<std::string> thrown;
    try {
        error = dispatch(object.get(), method.get_ref<const std::string&>(), params, fds, context);
    } catch (const std::exception& exception) {
        thrown = exception.what();
    } catch (...) {
        thrown = "an exception of unknown type";
    }
    if (context.replyMade) {
        // Until answered, the call counts against the peer; the reply may already have gone.
        std::lock_guard lock(impl_->mutex);
        ++impl_->unanswered;
    }
    if (thrown) {
        // Nothing crosses the interface as an exception. Once the reply exists, dropping it in the
        // unwinding (or whoever holds it now) answers; before that, only this can.
        platform::journalSend("service", platform::LogLevel::error,
                              "Call " + method.get<std::string>() + " threw: " + *thrown);
        if (!context.replyMade) error = RpcError{rpc::internalError, "internal error"};
    }
    if (error) fail(*error);
}

void Connection::handleResponse(const json& message, std::vector<UniqueFd> fds) {
    const auto& id = message.contains("id") ? message["id"] : json();
    if (id.is_null() && message.contains("error")) {
        // The peer could not read one of our messages; no call of ours is tied to it. Only its text is
        // logged: the rest is the peer's to shape, and has no place in a log line.
        const auto& error = message["error"];
        std::string text = error.is_object() && error.contains("message") && error["message"].is_string()
                               ? error["message"].get<std::string>()
                               : std::string("an error without a message");
        platform::journalSend("service", platform::LogLevel::error,
                              "Peer pid=" + std::to_string(peer_.pid) + " reported: " + text);
        return;
    }
    std::optional<detail::PendingCall> call;
    if (id.is_number_integer()) {
        std::lock_guard lock(impl_->mutex);
        if (auto found = impl_->pending.find(id.get<std::int64_t>()); found != impl_->pending.end()) {
            call = std::move(found->second);
            impl_->pending.erase(found);
        }
    }
    if (!call) {
        // An answer to nothing we asked: the peer's view of the conversation no longer matches ours.
        logError(peer_, "response to no outstanding call");
        end(EndCause::local, "response to no outstanding call");
        return;
    }
    if (auto error = message.find("error"); error != message.end()) {
        int code = error->is_object() && error->contains("code") && (*error)["code"].is_number_integer()
                       ? (*error)["code"].get<int>()
                       : rpc::internalError;
        std::string text = error->is_object() && error->contains("message") && (*error)["message"].is_string()
                               ? (*error)["message"].get<std::string>()
                               : std::string("error");
        if (call->fail) call->fail(ConnectionError{ConnectionError::Kind::remoteError, code, text});
        return;
    }
    auto failure = call->complete(message["result"], fds);
    if (failure && call->fail)
        call->fail(ConnectionError{ConnectionError::Kind::invalidReply, 0, call->selector + ": " + *failure});
}

// ---- Sending

void Connection::callAnswered() {
    std::optional<SystemError> failed;
    {
        std::lock_guard lock(impl_->mutex);
        const bool wasHeld = impl_->unanswered >= std::ptrdiff_t{kMaxUnansweredCalls};
        --impl_->unanswered;
        // Reading resumes; a handling reactor thread re-arms on its way out.
        if (wasHeld && !impl_->handling && impl_->state == Impl::State::active) failed = armLocked();
    }
    if (failed) end(EndCause::local, failed->description());
}

std::optional<SystemError> Connection::send(std::string bytes, std::vector<UniqueFd> fds, SendMode mode) {
    if (bytes.size() > kMaxPacketSize) return SystemError{"sendmsg", EMSGSIZE};
    bool overflow = false;
    std::optional<SystemError> armFailed;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state == Impl::State::ended) return SystemError{"sendmsg", ENOTCONN};
        if (impl_->queue.empty() && impl_->accepted) {
            auto sent = sendPacket(impl_->fd, bytes, fds);
            if (sent) return std::nullopt;
            if (sent.error().code != EAGAIN && sent.error().code != EWOULDBLOCK) return sent.error();
        }
        if (mode == SendMode::failWhenFull && impl_->accepted) return SystemError{"sendmsg", EAGAIN};
        // Held calls are the caller's own; the bounds are for a peer that does not read.
        if (impl_->accepted && (impl_->queue.size() >= kMaxQueuedPackets ||
                                impl_->queuedBytes + bytes.size() > kMaxQueuedBytes)) {
            overflow = true;
        } else {
            const bool first = impl_->queue.empty();
            impl_->queuedBytes += bytes.size();
            impl_->queue.push_back(QueuedPacket{std::move(bytes), std::move(fds)});
            // A handling reactor thread re-arms for writing on its way out.
            if (first && !impl_->handling) armFailed = armLocked();
        }
    }
    if (armFailed) {
        end(EndCause::local, armFailed->description());
        return armFailed;
    }
    if (overflow) {
        logError(peer_, "peer is not reading");
        end(EndCause::local, "peer is not reading");
        return SystemError{"sendmsg", ENOBUFS};
    }
    return std::nullopt;
}

void Connection::flushQueue() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->accepted) return;
    while (!impl_->queue.empty() && impl_->state != Impl::State::ended) {
        auto& front = impl_->queue.front();
        auto sent = sendPacket(impl_->fd, front.bytes, front.fds);
        if (!sent) {
            // Still full: the watch is re-armed for writing after this event.
            if (sent.error().code == EAGAIN || sent.error().code == EWOULDBLOCK) return;
            // The peer is gone; the read side sees the end and ends the connection.
            impl_->queue.clear();
            break;
        }
        impl_->queuedBytes -= front.bytes.size();
        impl_->queue.pop_front();
    }
    impl_->queue.clear();
    impl_->queuedBytes = 0;
}

void Connection::sendCall(std::string_view selector, json params, std::vector<UniqueFd> fds,
                          detail::PendingCall pending) {
    std::int64_t id = 0;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state != Impl::State::ended) {
            id = impl_->nextId++;
            impl_->pending.emplace(id, std::move(pending));
        }
    }
    if (id == 0) {
        if (pending.fail)
            pending.fail(ConnectionError{ConnectionError::Kind::invalidated, 0, "connection invalid"});
        return;
    }
    auto message = Envelope().member("id", id).member("method", selector).member("params", params).finish();
    auto error = send(std::move(message), std::move(fds), SendMode::queueWhenFull);
    if (!error) return;
    std::optional<detail::PendingCall> failed;
    {
        std::lock_guard lock(impl_->mutex);
        if (auto found = impl_->pending.find(id); found != impl_->pending.end()) {
            failed = std::move(found->second);
            impl_->pending.erase(found);
        }
    }
    if (failed && failed->fail)
        failed->fail(ConnectionError{ConnectionError::Kind::sendFailed, error->code, error->reason()});
}

void Connection::sendNotification(std::string_view selector, json params, std::vector<UniqueFd> fds,
                                  const ErrorHandler& errorHandler) {
    auto message = Envelope().member("method", selector).member("params", params).finish();
    auto error = send(std::move(message), std::move(fds), SendMode::failWhenFull);
    if (error && errorHandler)
        errorHandler(ConnectionError{ConnectionError::Kind::sendFailed, error->code, error->reason()});
}

void Connection::sendResponse(const json& id, json result, std::vector<UniqueFd> fds) {
    callAnswered();
    auto message = Envelope().member("id", id).member("result", result).finish();
    auto error = send(std::move(message), std::move(fds), SendMode::queueWhenFull);
    if (error && error->code == EMSGSIZE) sendError(id, RpcError{rpc::internalError, "reply too large"});
}

void Connection::sendErrorResponse(const json& id, const RpcError& error) {
    callAnswered();
    sendError(id, error);
}

void Connection::sendError(const json& id, const RpcError& error) {
    json body{{"code", error.code}, {"message", error.message}};
    (void)send(Envelope().member("id", id).member("error", body).finish(), {}, SendMode::queueWhenFull);
}

}  // namespace velmora::kit::xpc
