#pragma once

// The properties every record's fuzzer checks. From bytes: whatever decodes must encode, decode
// again to an equal value with an equal hash, and encode to the same bytes the second time. From
// a value: whatever encodes must decode to an equal value.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace velmora::fuzz {

template <typename Record>
int checkRoundTrip(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto value = Record::decode(input);
    if (!value) {
        // A refusal must say why.
        if (value.error().description.empty()) __builtin_trap();
        return 0;
    }
    auto bytes = value->encoded();
    if (!bytes) __builtin_trap();
    auto again = Record::decode(*bytes);
    if (!again) __builtin_trap();
    if (!(*again == *value)) __builtin_trap();
    if (std::hash<Record>{}(*again) != std::hash<Record>{}(*value)) __builtin_trap();
    auto bytesAgain = again->encoded();
    if (!bytesAgain || *bytesAgain != *bytes) __builtin_trap();
    return 0;
}

template <typename Record>
void checkValueRoundTrip(const Record& value) {
    auto bytes = value.encoded();
    if (!bytes) {
        if (bytes.error().description.empty()) __builtin_trap();
        return;
    }
    auto decoded = Record::decode(*bytes);
    if (!decoded) __builtin_trap();
    if (!(*decoded == value)) __builtin_trap();
}

}  // namespace velmora::fuzz
