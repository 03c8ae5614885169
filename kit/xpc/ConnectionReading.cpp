// The reading side of a connection: one packet at a time, parsed where it landed, and delivered.

#include <sys/epoll.h>

#include <algorithm>

#include "kit/JsonCodec.h"
#include "kit/xpc/Connection.h"
#include "kit/xpc/ConnectionImpl.h"
#include "kit/xpc/PacketIO.h"
#include "kit/xpc/PlainJson.h"
#include "platform/Logger.h"

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

bool isValidId(const json& id) {
    return id.is_number_integer() || id.is_string();
}
}  // namespace

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
            platform::LogCategory::service.error(
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
    tl::expected<void, RpcError> dispatched;
    std::optional<std::string> thrown;
    try {
        dispatched = dispatch(object.get(), method.get_ref<const std::string&>(), params, fds, context);
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
        platform::LogCategory::service.error("Call " + method.get<std::string>() + " threw: " + *thrown);
        if (!context.replyMade) dispatched = tl::unexpected(RpcError{rpc::internalError, "internal error"});
    }
    if (!dispatched) fail(dispatched.error());
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
        platform::LogCategory::service.error("Peer pid=" + std::to_string(peer_.pid) + " reported: " + text);
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
    auto completed = call->complete(message["result"], fds);
    if (!completed && call->fail)
        call->fail(ConnectionError{ConnectionError::Kind::invalidReply, 0,
                                   call->selector + ": " + completed.error()});
}

}  // namespace velmora::kit::xpc
