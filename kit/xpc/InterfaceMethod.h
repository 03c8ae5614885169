#pragma once

// A protocol's method table: each entry's signature split into arguments and reply, its selector
// checked at compile time, and its description.

#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "kit/xpc/InterfaceDescription.h"
#include "kit/xpc/InterfaceWire.h"
#include "kit/xpc/Reply.h"

namespace velmora::kit::xpc {

// Specialised per protocol: `name`, `methods` (a tuple of Method<&P::m>{"selector"}) and `Proxy`.
template <class Protocol>
struct ProtocolTraits;

namespace detail {

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

}  // namespace detail

}  // namespace velmora::kit::xpc
