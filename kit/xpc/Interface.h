#pragma once

// Generated marshalling for call interfaces.
//
// A protocol is an abstract C++ class whose methods take wire values (Wire<T> below) and, for a call,
// end with one Reply<...>. ProtocolTraits<P> lists its methods once, each as a member-function pointer
// with its selector; from that table these templates generate the interface description, the decoding
// and checked delivery of incoming calls, and the encoding of outgoing ones. Selectors are checked at
// compile time against the declarations (one colon per argument and reply).

#include <cstdint>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kit/xpc/Base64.h"
#include "kit/xpc/Connection.h"
#include "kit/xpc/InterfaceDescription.h"
#include "kit/xpc/Reply.h"
#include "platform/UniqueFd.h"

namespace velmora::kit::xpc {

// An opaque byte blob; nullopt is null.
using Blob = std::optional<std::string>;

// Specialised per protocol: `name`, `methods` (a tuple of Method<&P::m>{"selector"}) and `Proxy`.
template <class Protocol>
struct ProtocolTraits;

namespace detail {

enum class Position { argument, reply };

template <class T>
struct Wire;

// Integers arrive as JSON integers of any size; anything outside the declared width is refused.
template <class Int, ValueKind Kind>
struct WireInteger {
    static constexpr ValueKind kind = Kind;
    static nlohmann::json encode(Int value, std::vector<platform::UniqueFd>&) { return value; }
    static std::optional<Int> decode(const nlohmann::json& value, std::vector<platform::UniqueFd>&,
                                     Position) {
        if (value.is_number_unsigned()) {
            auto v = value.get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<Int>::max())) return std::nullopt;
            return static_cast<Int>(v);
        }
        if (!value.is_number_integer()) return std::nullopt;
        auto v = value.get<std::int64_t>();
        if (v < std::numeric_limits<Int>::min() || v > std::numeric_limits<Int>::max()) return std::nullopt;
        return static_cast<Int>(v);
    }
};

template <>
struct Wire<std::int32_t> : WireInteger<std::int32_t, ValueKind::int32> {};
template <>
struct Wire<std::int64_t> : WireInteger<std::int64_t, ValueKind::int64> {};

template <>
struct Wire<bool> {
    static constexpr ValueKind kind = ValueKind::boolean;
    static nlohmann::json encode(bool value, std::vector<platform::UniqueFd>&) { return value; }
    static std::optional<bool> decode(const nlohmann::json& value, std::vector<platform::UniqueFd>&,
                                      Position) {
        if (!value.is_boolean()) return std::nullopt;
        return value.get<bool>();
    }
};

template <>
struct Wire<Blob> {
    static constexpr ValueKind kind = ValueKind::jsonDocument;
    static nlohmann::json encode(const Blob& value, std::vector<platform::UniqueFd>&) {
        if (!value) return nullptr;
        return base64Encode(*value);
    }
    static std::optional<Blob> decode(const nlohmann::json& value, std::vector<platform::UniqueFd>&,
                                      Position position) {
        if (value.is_null()) {
            if (position == Position::argument) return std::nullopt;
            return Blob{};
        }
        if (!value.is_string()) return std::nullopt;
        auto bytes = base64Decode(value.get_ref<const std::string&>());
        if (!bytes) return std::nullopt;
        return Blob{std::move(*bytes)};
    }
};

// The descriptor rides beside the message; the JSON holds {"fd":index} into the packet's descriptors.
template <>
struct Wire<platform::UniqueFd> {
    static constexpr ValueKind kind = ValueKind::terminalHandle;
    static nlohmann::json encode(platform::UniqueFd value, std::vector<platform::UniqueFd>& fds) {
        if (!value.valid()) return nullptr;
        fds.push_back(std::move(value));
        return nlohmann::json{{"fd", fds.size() - 1}};
    }
    static std::optional<platform::UniqueFd> decode(const nlohmann::json& value,
                                                    std::vector<platform::UniqueFd>& fds, Position position) {
        if (position == Position::argument) return std::nullopt;
        if (value.is_null()) return platform::UniqueFd();
        if (!value.is_object() || value.size() != 1 || !value.contains("fd")) return std::nullopt;
        const auto& index = value["fd"];
        if (!index.is_number_unsigned() || index.get<std::uint64_t>() >= fds.size()) return std::nullopt;
        auto& slot = fds[index.get<std::size_t>()];
        if (!slot.valid()) return std::nullopt;  // each descriptor is claimed once
        return std::move(slot);
    }
};

template <class... Ts, std::size_t... I>
tl::expected<std::tuple<Ts...>, std::string> decodeValuesAt(
    [[maybe_unused]] const nlohmann::json& values, [[maybe_unused]] std::vector<platform::UniqueFd>& fds,
    [[maybe_unused]] Position position, std::index_sequence<I...>) {
    std::tuple<std::optional<Ts>...> parts{Wire<Ts>::decode(values[I], fds, position)...};
    [[maybe_unused]] std::string failure;
    ((failure.empty() && !std::get<I>(parts)
          ? void(failure = "value " + std::to_string(I + 1) + " is not a valid " +
                           std::string(valueKindName(Wire<Ts>::kind)))
          : void()),
     ...);
    if (!failure.empty()) return tl::unexpected(failure);
    return std::tuple<Ts...>{std::move(*std::get<I>(parts))...};
}

// Decodes a JSON array into typed values; every descriptor must be claimed by exactly one value.
template <class... Ts>
tl::expected<std::tuple<Ts...>, std::string> decodeValues(const nlohmann::json& values,
                                                          std::vector<platform::UniqueFd>& fds,
                                                          Position position) {
    if (!values.is_array()) return tl::unexpected(std::string("values are not an array"));
    if (values.size() != sizeof...(Ts))
        return tl::unexpected("expected " + std::to_string(sizeof...(Ts)) + " values, got " +
                              std::to_string(values.size()));
    auto decoded = decodeValuesAt<Ts...>(values, fds, position, std::index_sequence_for<Ts...>{});
    if (!decoded) return decoded;
    for (const auto& fd : fds)
        if (fd.valid()) return tl::unexpected(std::string("unexpected descriptor attached"));
    return decoded;
}

template <class... Ts>
nlohmann::json encodeValues(std::vector<platform::UniqueFd>& fds, Ts... values) {
    auto array = nlohmann::json::array();
    (array.push_back(Wire<Ts>::encode(std::move(values), fds)), ...);
    return array;
}

template <class T>
struct IsReply : std::false_type {};
template <class... V>
struct IsReply<Reply<V...>> : std::true_type {};

template <class Tuple, class Sequence>
struct TakeFirst;
template <class Tuple, std::size_t... I>
struct TakeFirst<Tuple, std::index_sequence<I...>> {
    using type = std::tuple<std::tuple_element_t<I, Tuple>...>;
};

template <class All, bool Empty = std::tuple_size_v<All> == 0>
struct SplitReply {
    static constexpr bool hasReply = false;
    using Arguments = All;
    using ReplyType = void;
};
template <class All>
struct SplitReply<All, false> {
    static constexpr std::size_t count = std::tuple_size_v<All>;
    using Last = std::tuple_element_t<count - 1, All>;
    static constexpr bool hasReply = IsReply<Last>::value;
    using Arguments =
        std::conditional_t<hasReply, typename TakeFirst<All, std::make_index_sequence<count - 1>>::type, All>;
    using ReplyType = std::conditional_t<hasReply, Last, void>;
};

template <class F>
struct MethodSignature;
template <class C, class... A>
struct MethodSignature<void (C::*)(A...)> : SplitReply<std::tuple<std::decay_t<A>...>> {
    using Protocol = C;
};

template <class Tuple>
struct Kinds;
template <class... Ts>
struct Kinds<std::tuple<Ts...>> {
    static std::vector<ValueKind> get() { return {Wire<Ts>::kind...}; }
};
template <class... V>
struct Kinds<Reply<V...>> {
    static std::vector<ValueKind> get() { return {Wire<V>::kind...}; }
};

}  // namespace detail

// One entry of a protocol's method table.
template <auto M>
struct Method {
    using Signature = detail::MethodSignature<decltype(M)>;
    std::string_view selector;

    consteval explicit Method(std::string_view name) : selector(name) {
        std::size_t colons = 0;
        for (char c : name) colons += c == ':' ? 1 : 0;
        std::size_t expected =
            std::tuple_size_v<typename Signature::Arguments> + (Signature::hasReply ? 1 : 0);
        if (colons != expected) throw "selector does not match the method's arguments";
    }
};

namespace detail {

template <auto M>
constexpr std::string_view selectorOf() {
    using P = typename MethodSignature<decltype(M)>::Protocol;
    std::string_view found;
    std::apply(
        [&](const auto&... entry) {
            ((found = std::is_same_v<std::decay_t<decltype(entry)>, Method<M>> ? entry.selector : found),
             ...);
        },
        ProtocolTraits<P>::methods);
    return found;
}

template <auto M>
MethodDescription describeMethod(const Method<M>& entry) {
    using S = typename Method<M>::Signature;
    MethodDescription description{
        std::string(entry.selector), Kinds<typename S::Arguments>::get(), !S::hasReply, {}};
    if constexpr (S::hasReply) description.reply = Kinds<typename S::ReplyType>::get();
    return description;
}

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
std::optional<RpcError> invokeMethod(P& object, const nlohmann::json& params,
                                     std::vector<platform::UniqueFd>& fds, const CallContext& context) {
    using S = typename Method<M>::Signature;
    constexpr std::string_view selector = selectorOf<M>();
    if (S::hasReply != context.id.has_value())
        return RpcError{rpc::invalidRequest, S::hasReply ? "a call needs an id" : "a notification has no id"};
    auto arguments = Decoder<typename S::Arguments>::decode(params, fds, Position::argument);
    if (!arguments) return RpcError{rpc::invalidParams, std::string(selector) + ": " + arguments.error()};
    if constexpr (S::hasReply) {
        auto reply = makeTransportReply(std::type_identity<typename S::ReplyType>{}, context, selector);
        std::apply([&](auto&... values) { (object.*M)(std::move(values)..., std::move(reply)); }, *arguments);
    } else {
        std::apply([&](auto&... values) { (object.*M)(std::move(values)...); }, *arguments);
    }
    return std::nullopt;
}

template <class P, auto M>
std::optional<RpcError> invokeEntry(P& target, const Method<M>*, const nlohmann::json& params,
                                    std::vector<platform::UniqueFd>& fds, const CallContext& context) {
    return invokeMethod<M>(target, params, fds, context);
}

// Routes an incoming message to the method of `P` with that selector.
template <class P>
std::optional<RpcError> dispatchTo(void* object, std::string_view selector, const nlohmann::json& params,
                                   std::vector<platform::UniqueFd>& fds, const CallContext& context) {
    auto& target = *static_cast<P*>(object);
    std::optional<RpcError> outcome =
        RpcError{rpc::methodNotFound, "unknown method " + std::string(selector)};
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
        PendingCall pending{std::string(selector),
                            [handler = std::move(handler)](
                                const nlohmann::json& result,
                                std::vector<platform::UniqueFd>& received) -> std::optional<std::string> {
                                auto values = decodeValues<V...>(result, received, Position::reply);
                                if (!values) return values.error();
                                if (handler) std::apply(handler, std::move(*values));
                                return std::nullopt;
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
