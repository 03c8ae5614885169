#pragma once

// Generated marshalling for call interfaces.
//
// A protocol is an abstract C++ class whose methods take wire values (Wire<T> below) and, for a call,
// end with one Reply<...>. ProtocolTraits<P> lists its methods once, each as a member-function pointer
// with its selector; from that table these templates generate the interface description, the decoding
// and checked delivery of incoming calls, and the encoding of outgoing ones. Selectors are checked at
// compile time against the declarations (one colon per argument and reply).

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "kit/xpc/Connection.h"
#include "kit/xpc/InterfaceMethod.h"
#include "kit/xpc/InterfaceWire.h"
#include "kit/xpc/Reply.h"
#include "platform/UniqueFd.h"

namespace velmora::kit::xpc {

namespace detail {

// The reply the transport hands to an exported object: invoking it answers the caller; dropping it
// answers with an error.
template <class... V>
Reply<V...> makeTransportReply(std::type_identity<Reply<V...>>, const CallContext& context,
                               std::string_view selector) {
    auto connection = context.connection;
    auto id = *context.id;
    auto reply = ReplyAccess::make<V...>(
        [connection, id](V... values) {
            std::vector<platform::UniqueFd> fds;
            auto result = encodeValues<V...>(fds, std::move(values)...);
            if (auto strong = connection.lock()) strong->sendResponse(id, std::move(result), std::move(fds));
        },
        [connection, id, name = std::string(selector)] {
            if (auto strong = connection.lock())
                strong->sendErrorResponse(id, RpcError{rpc::internalError, "no reply to " + name});
        },
        [connection, id](int code, const std::string& message) {
            if (auto strong = connection.lock()) strong->sendErrorResponse(id, RpcError{code, message});
        },
        std::string(selector));
    context.replyMade = true;
    return reply;
}

template <class Tuple>
struct Decoder;
template <class... Ts>
struct Decoder<std::tuple<Ts...>> {
    static tl::expected<std::tuple<Ts...>, std::string> decode(const nlohmann::json& values,
                                                               std::vector<platform::UniqueFd>& fds,
                                                               Position position) {
        return decodeValues<Ts...>(values, fds, position);
    }
};

// Decodes one incoming call or notification and delivers it to `object`.
template <auto M, class P>
tl::expected<void, RpcError> invokeMethod(P& object, const nlohmann::json& params,
                                          std::vector<platform::UniqueFd>& fds, const CallContext& context) {
    using S = typename Method<M>::Signature;
    constexpr std::string_view selector = selectorOf<M>();
    if (S::hasReply != context.id.has_value())
        return tl::unexpected(
            RpcError{rpc::invalidRequest, S::hasReply ? "a call needs an id" : "a notification has no id"});
    auto arguments = Decoder<typename S::Arguments>::decode(params, fds, Position::argument);
    if (!arguments)
        return tl::unexpected(RpcError{rpc::invalidParams, std::string(selector) + ": " + arguments.error()});
    if constexpr (S::hasReply) {
        auto reply = makeTransportReply(std::type_identity<typename S::ReplyType>{}, context, selector);
        std::apply([&](auto&... values) { (object.*M)(std::move(values)..., std::move(reply)); }, *arguments);
    } else {
        std::apply([&](auto&... values) { (object.*M)(std::move(values)...); }, *arguments);
    }
    return {};
}

template <class P, auto M>
tl::expected<void, RpcError> invokeEntry(P& target, const Method<M>*, const nlohmann::json& params,
                                         std::vector<platform::UniqueFd>& fds, const CallContext& context) {
    return invokeMethod<M>(target, params, fds, context);
}

// Routes an incoming message to the method of `P` with that selector.
template <class P>
tl::expected<void, RpcError> dispatchTo(void* object, std::string_view selector, const nlohmann::json& params,
                                        std::vector<platform::UniqueFd>& fds, const CallContext& context) {
    auto& target = *static_cast<P*>(object);
    tl::expected<void, RpcError> outcome =
        tl::unexpected(RpcError{rpc::methodNotFound, "unknown method " + std::string(selector)});
    std::apply(
        [&](const auto&... entry) {
            auto tryEntry = [&](const auto& candidate) {
                if (candidate.selector != selector) return false;
                using Entry = std::decay_t<decltype(candidate)>;
                outcome = invokeEntry(target, static_cast<const Entry*>(nullptr), params, fds, context);
                return true;
            };
            (tryEntry(entry) || ...);
        },
        ProtocolTraits<P>::methods);
    return outcome;
}

template <class P>
InterfaceDescription describe() {
    InterfaceDescription description{std::string(ProtocolTraits<P>::name), {}};
    std::apply([&](const auto&... entry) { (description.methods.push_back(describeMethod(entry)), ...); },
               ProtocolTraits<P>::methods);
    return description;
}

// What a proxy needs: the connection it sends on (not owned) and the caller's error handler.
class ProxyCore {
  public:
    ProxyCore(std::weak_ptr<Connection> connection, ErrorHandler errorHandler)
        : connection_(std::move(connection)), errorHandler_(std::move(errorHandler)) {}

    template <auto M, class... A>
    void call(typename Method<M>::Signature::ReplyType reply, A&&... arguments) {
        using S = typename Method<M>::Signature;
        static_assert(std::is_same_v<std::tuple<std::decay_t<A>...>, typename S::Arguments>);
        constexpr std::string_view selector = selectorOf<M>();
        static_assert(!selector.empty(), "method missing from its protocol's table");
        completeWith(std::type_identity<typename S::ReplyType>{}, std::move(reply), selector,
                     std::forward<A>(arguments)...);
    }

    template <auto M, class... A>
    void notify(A&&... arguments) {
        using S = typename Method<M>::Signature;
        static_assert(!S::hasReply);
        static_assert(std::is_same_v<std::tuple<std::decay_t<A>...>, typename S::Arguments>);
        constexpr std::string_view selector = selectorOf<M>();
        static_assert(!selector.empty(), "method missing from its protocol's table");
        auto connection = liveConnection();
        if (!connection) return;
        std::vector<platform::UniqueFd> fds;
        auto params = encodeValues<std::decay_t<A>...>(fds, std::forward<A>(arguments)...);
        connection->sendNotification(selector, std::move(params), std::move(fds), errorHandler_);
    }

  private:
    // The connection, or null after telling the error handler that it has gone.
    std::shared_ptr<Connection> liveConnection() const {
        auto connection = connection_.lock();
        if (!connection && errorHandler_)
            errorHandler_(ConnectionError{ConnectionError::Kind::invalidated, 0, "connection invalid"});
        return connection;
    }

    template <class... V, class... A>
    void completeWith(std::type_identity<Reply<V...>>, Reply<V...> reply, std::string_view selector,
                      A&&... arguments) {
        auto handler = ReplyAccess::release(reply);
        auto connection = liveConnection();
        if (!connection) return;
        std::vector<platform::UniqueFd> fds;
        auto params = encodeValues<std::decay_t<A>...>(fds, std::forward<A>(arguments)...);
        PendingCall pending{
            std::string(selector),
            [handler = std::move(handler)](
                const nlohmann::json& result,
                std::vector<platform::UniqueFd>& received) -> tl::expected<void, std::string> {
                auto values = decodeValues<V...>(result, received, Position::reply);
                if (!values) return tl::unexpected(values.error());
                if (handler) std::apply(handler, std::move(*values));
                return {};
            },
            errorHandler_};
        connection->sendCall(selector, std::move(params), std::move(fds), std::move(pending));
    }

    std::weak_ptr<Connection> connection_;
    ErrorHandler errorHandler_;
};

}  // namespace detail

}  // namespace velmora::kit::xpc

namespace velmora::kit::xpc {

template <class Protocol>
void Connection::setExportedObject(std::shared_ptr<Protocol> object) {
    setExported(detail::ExportedObject{std::string(ProtocolTraits<Protocol>::name), std::move(object),
                                       &detail::dispatchTo<Protocol>});
}

template <class Protocol>
std::shared_ptr<Protocol> Connection::remoteObjectProxyWithErrorHandler(ErrorHandler errorHandler) {
    auto remote = remoteInterface();
    if (!remote || remote->protocolName != ProtocolTraits<Protocol>::name) return nullptr;
    return std::make_shared<typename ProtocolTraits<Protocol>::Proxy>(
        detail::ProxyCore(weak_from_this(), std::move(errorHandler)));
}

}  // namespace velmora::kit::xpc
