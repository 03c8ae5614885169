// The sending side of a connection: the queue that waits for a peer that is not reading
// (or, on the connecting end, for the peer's admission).

#include "kit/xpc/Connection.h"
#include "kit/xpc/ConnectionImpl.h"
#include "kit/xpc/PacketIO.h"
#include "kit/xpc/PlainJsonEnvelope.h"

namespace velmora::kit::xpc {

using nlohmann::json;
using platform::SystemError;
using platform::UniqueFd;

void Connection::callAnswered() {
    tl::expected<void, SystemError> armed;
    {
        std::lock_guard lock(impl_->mutex);
        const bool wasHeld = impl_->unanswered >= std::ptrdiff_t{kMaxUnansweredCalls};
        --impl_->unanswered;
        // Reading resumes; a handling reactor thread re-arms on its way out.
        if (wasHeld && !impl_->handling && impl_->state == Impl::State::active) armed = armLocked();
    }
    if (!armed) end(EndCause::local, armed.error().description());
}

tl::expected<void, SystemError> Connection::send(std::string bytes, std::vector<UniqueFd> fds,
                                                 SendMode mode) {
    if (bytes.size() > kMaxPacketSize) return tl::unexpected(SystemError{"sendmsg", EMSGSIZE});
    bool overflow = false;
    tl::expected<void, SystemError> armed;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state == Impl::State::ended) return tl::unexpected(SystemError{"sendmsg", ENOTCONN});
        if (impl_->queue.empty() && impl_->accepted) {
            auto sent = sendPacket(impl_->fd, bytes, fds);
            if (sent) return {};
            if (sent.error().code != EAGAIN && sent.error().code != EWOULDBLOCK)
                return tl::unexpected(sent.error());
        }
        if (mode == SendMode::failWhenFull && impl_->accepted)
            return tl::unexpected(SystemError{"sendmsg", EAGAIN});
        // Held calls are the caller's own; the bounds are for a peer that does not read.
        if (impl_->accepted && (impl_->queue.size() >= kMaxQueuedPackets ||
                                impl_->queuedBytes + bytes.size() > kMaxQueuedBytes)) {
            overflow = true;
        } else {
            const bool first = impl_->queue.empty();
            impl_->queuedBytes += bytes.size();
            impl_->queue.push_back(QueuedPacket{std::move(bytes), std::move(fds)});
            // A handling reactor thread re-arms for writing on its way out.
            if (first && !impl_->handling) armed = armLocked();
        }
    }
    if (!armed) {
        end(EndCause::local, armed.error().description());
        return armed;
    }
    if (overflow) {
        logError(peer_, "peer is not reading");
        end(EndCause::local, "peer is not reading");
        return tl::unexpected(SystemError{"sendmsg", ENOBUFS});
    }
    return {};
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
    auto sent = send(std::move(message), std::move(fds), SendMode::queueWhenFull);
    if (sent) return;
    std::optional<detail::PendingCall> failed;
    {
        std::lock_guard lock(impl_->mutex);
        if (auto found = impl_->pending.find(id); found != impl_->pending.end()) {
            failed = std::move(found->second);
            impl_->pending.erase(found);
        }
    }
    if (failed && failed->fail)
        failed->fail(
            ConnectionError{ConnectionError::Kind::sendFailed, sent.error().code, sent.error().reason()});
}

void Connection::sendNotification(std::string_view selector, json params, std::vector<UniqueFd> fds,
                                  const ErrorHandler& errorHandler) {
    auto message = Envelope().member("method", selector).member("params", params).finish();
    auto sent = send(std::move(message), std::move(fds), SendMode::failWhenFull);
    if (!sent && errorHandler)
        errorHandler(
            ConnectionError{ConnectionError::Kind::sendFailed, sent.error().code, sent.error().reason()});
}

void Connection::sendResponse(const json& id, json result, std::vector<UniqueFd> fds) {
    callAnswered();
    auto message = Envelope().member("id", id).member("result", result).finish();
    auto sent = send(std::move(message), std::move(fds), SendMode::queueWhenFull);
    if (!sent && sent.error().code == EMSGSIZE)
        sendError(id, RpcError{rpc::internalError, "reply too large"});
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
