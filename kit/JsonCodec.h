#pragma once

// Strict JSON reading and writing shared by every record that crosses between client and helper.
// Nothing here throws: the JSON library's exceptions stop at this boundary.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <unordered_map>
#include <vector>

#include "kit/DecodingError.h"
#include "kit/EncodingError.h"
#include "kit/HelperVersion.h"

namespace velmora::kit::jsoncodec {

// Documents nested deeper than this are refused before the parser sees them.
inline constexpr std::size_t maximumNestingDepth = 64;

// True when `data` opens more than maximumNestingDepth arrays or objects at once (brackets inside
// strings do not count). Linear and without recursion: safe on any input, even malformed text.
[[nodiscard]] bool nestsTooDeeply(std::string_view data);

// Parses one complete JSON document: malformed text, invalid UTF-8 and documents nested deeper
// than maximumNestingDepth are data-corrupted errors. The error's description is always UTF-8 (it
// quotes the offending input with escapeInvalidUTF8), so it can be sent back in a JSON reply.
[[nodiscard]] tl::expected<nlohmann::json, DecodingError> parseDocument(std::string_view data);

// `text` with each byte that is not part of well-formed UTF-8 written as "\xHH".
[[nodiscard]] std::string escapeInvalidUTF8(std::string_view text);

// RFC 3339 date-time to whole seconds: "YYYY-MM-DDTHH:MM:SS" then "Z" or "+HH:MM"/"-HH:MM".
// Fractional seconds, other layouts, out-of-range fields and instants outside the years
// 0000..9999 in UTC give nothing.
[[nodiscard]] std::optional<std::chrono::sys_seconds> parseInternetDateTime(std::string_view text);
// The same layout in UTC with "Z"; nothing for an instant outside the years 0000..9999.
[[nodiscard]] std::optional<std::string> formatInternetDateTime(std::chrono::sys_seconds instant);

// True when libcurl's URL parser accepts `text` as an absolute URL (any scheme).
[[nodiscard]] bool isParsableURL(std::string_view text);

// Compact output (no white space) and indented output; both fail only on text that is not UTF-8.
[[nodiscard]] tl::expected<std::string, EncodingError> dumpCompact(const nlohmann::ordered_json& value);
[[nodiscard]] tl::expected<std::string, EncodingError> dumpPretty(const nlohmann::json& value);

// Reads the members of one JSON object by the strict rules: required keys must be present and
// not null, types must match exactly, integers must fit the field's width, other keys are
// ignored. The first failure is kept; later reads return placeholders, so a decoder can read
// every field in order and check `failed()` once at the end.
class ObjectReader {
  public:
    // `value` must outlive the reader. `path` names the object in error texts ("" for the top);
    // `typeName` names the record when `value` is not an object.
    ObjectReader(const nlohmann::json& value, std::string path, std::string_view typeName);
    // A reader that has already failed, for a parent whose member could not be read.
    explicit ObjectReader(DecodingError error);

    [[nodiscard]] bool failed() const { return error_.has_value(); }
    [[nodiscard]] const DecodingError& error() const { return *error_; }

    std::int64_t int64(std::string_view key);
    std::int32_t int32(std::string_view key);
    bool boolean(std::string_view key);
    std::string string(std::string_view key);
    std::optional<std::string> optionalString(std::string_view key);
    std::unordered_map<std::string, std::string> stringMap(std::string_view key);
    std::vector<std::string> stringArray(std::string_view key);
    HelperVersion version(std::string_view key);
    std::chrono::sys_seconds date(std::string_view key);
    std::string url(std::string_view key);
    // A nested object; the returned reader's failures are not merged back: check it too.
    ObjectReader object(std::string_view key);
    // Nothing when the key is missing or null.
    std::optional<ObjectReader> optionalObject(std::string_view key);

    // The member under `key`, or null when the key is missing; records a failure when the key is
    // missing or its value is null.
    const nlohmann::json* require(std::string_view key);
    // Records `error` unless a failure is already kept.
    void fail(DecodingError error);

  private:
    const nlohmann::json* member(std::string_view key) const;
    std::string pathOf(std::string_view key) const;
    void typeMismatch(std::string_view key, std::string_view expected, const nlohmann::json& found);
    std::optional<std::int64_t> integer(std::string_view key, std::int64_t minimum, std::int64_t maximum,
                                        std::string_view typeName);

    const nlohmann::json* object_ = nullptr;
    std::string path_;
    std::optional<DecodingError> error_;
};

// Hash of a map that does not depend on iteration order.
[[nodiscard]] std::size_t unorderedMapHash(const std::unordered_map<std::string, std::string>& map);

}  // namespace velmora::kit::jsoncodec
