#include "kit/xpc/Connection.h"

#include <sys/epoll.h>

#include "kit/xpc/ConnectionImpl.h"

namespace velmora::kit::xpc {

using platform::SystemError;

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

// ---- Waiting for the socket

std::uint32_t Connection::wantedEventsLocked() const {
    std::uint32_t events = 0;
    if (impl_->state == Impl::State::active && impl_->unanswered < std::ptrdiff_t{kMaxUnansweredCalls})
        events |= EPOLLIN | EPOLLRDHUP;
    if (!impl_->queue.empty() && impl_->accepted) events |= EPOLLOUT;
    return events;
}

tl::expected<void, SystemError> Connection::armLocked() {
    const std::uint32_t events = wantedEventsLocked();
    if (events == 0 || !impl_->socket.valid()) return {};
    auto& reactor = SocketReactor::shared();
    if (impl_->watchKey) return reactor.rearm(impl_->fd, *impl_->watchKey, events);
    auto key = reactor.watch(impl_->fd, events, weak_from_this(), [](void* target, std::uint32_t fired) {
        static_cast<Connection*>(target)->socketReady(fired);
    });
    if (!key) return tl::unexpected(key.error());
    impl_->watchKey = *key;
    return {};
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
        tl::expected<void, SystemError> armed;
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
            armed = armLocked();
        }
        if (!armed) end(EndCause::local, armed.error().description());
        return;
    }
}

}  // namespace velmora::kit::xpc
