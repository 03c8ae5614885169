#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::kit::xpc {

// Standard base64 with padding. Decoding is strict: no whitespace, no missing or misplaced padding,
// no stray bits in the last group, so that every blob has exactly one spelling on the wire.
[[nodiscard]] std::string base64Encode(std::string_view bytes);
[[nodiscard]] std::optional<std::string> base64Decode(std::string_view text);

}  // namespace velmora::kit::xpc
