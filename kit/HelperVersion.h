#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "kit/DecodingError.h"

namespace velmora::kit {

// A three-part version number such as 1.4.0, ordered component by component.
struct HelperVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;

    // Parses "1", "1.2" or "1.2.3" (white space trimmed at both ends, missing parts zero).
    // Nothing for any other text, a negative component or one beyond the 64-bit range.
    static std::optional<HelperVersion> parse(std::string_view text);

    // "major.minor.patch" in decimal.
    [[nodiscard]] std::string description() const;

    // The JSON form: one string holding description().
    [[nodiscard]] nlohmann::json toJSON() const;
    // Reads a JSON string; a non-string is a type mismatch, an unparsable text fails with
    // "Invalid version string <text>.".
    static tl::expected<HelperVersion, DecodingError> fromJSON(const nlohmann::json& value);

    friend auto operator<=>(const HelperVersion&, const HelperVersion&) = default;
    friend bool operator==(const HelperVersion&, const HelperVersion&) = default;
};

// Combines hashes the way boost::hash_combine does; shared by every record's hash.
inline void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// Parses an optional sign and one or more ASCII digits within the signed 64-bit range, nothing else.
std::optional<std::int64_t> parseSignedDecimal(std::string_view text);

// Trims Unicode white space and line breaks from both ends of UTF-8 text.
std::string_view trimWhitespace(std::string_view text);

}  // namespace velmora::kit

template <>
struct std::hash<velmora::kit::HelperVersion> {
    std::size_t operator()(const velmora::kit::HelperVersion& v) const noexcept {
        std::size_t seed = 0;
        velmora::kit::hashCombine(seed, std::hash<std::int64_t>{}(v.major));
        velmora::kit::hashCombine(seed, std::hash<std::int64_t>{}(v.minor));
        velmora::kit::hashCombine(seed, std::hash<std::int64_t>{}(v.patch));
        return seed;
    }
};
