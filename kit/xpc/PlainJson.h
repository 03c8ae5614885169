#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace velmora::kit::xpc {

// A character a JSON string holds as it is, and that reads the same in every encoding: printable
// ASCII other than the quote and the backslash.
inline bool isPlainCharacter(char c) {
    return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
}

// Reads the JSON that packets nearly always are without the general parser, which takes strings a
// character at a time: objects, arrays, strings of printable ASCII without escapes, integers of up to
// 18 digits, true, false and null, nested at most a few levels, with any whitespace. Anything else
// (escapes, other bytes, fractions, exponents, longer numbers, a repeated key, deeper nesting, text
// that is not JSON) gives nothing, and the caller parses the text in full. A value it gives is the
// one the general parser makes of the same text, down to the number types.
std::optional<nlohmann::json> parsePlainJson(std::string_view text);

}  // namespace velmora::kit::xpc
