#pragma once

// How each wire value (Wire<T>) travels as JSON: integers of a declared width, booleans, blobs and
// descriptors, and whole argument lists in either direction.

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

}  // namespace detail

}  // namespace velmora::kit::xpc
