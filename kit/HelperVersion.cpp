#include "kit/HelperVersion.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <vector>

namespace velmora::kit {

namespace {

// Length of the Unicode white-space or line-break character at the start of `text`, or 0.
size_t whitespaceLengthAt(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text.empty()) return 0;
    unsigned char c = byte(0);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    if (text.size() >= 2 && c == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) return 2;
    if (text.size() >= 3) {
        unsigned char c1 = byte(1), c2 = byte(2);
        if (c == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;  // U+1680
        if (c == 0xE2 && c1 == 0x80 && (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))
            return 3;                                         // U+2000..200A, 2028, 2029, 202F
        if (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;  // U+205F
        if (c == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;  // U+3000
    }
    return 0;
}

size_t trailingWhitespaceLength(std::string_view text) {
    for (size_t width : {size_t{1}, size_t{2}, size_t{3}}) {
        if (text.size() >= width && whitespaceLengthAt(text.substr(text.size() - width)) == width)
            return width;
    }
    return 0;
}

}  // namespace

std::string_view trimWhitespace(std::string_view text) {
    while (size_t n = whitespaceLengthAt(text)) text.remove_prefix(n);
    while (size_t n = trailingWhitespaceLength(text)) text.remove_suffix(n);
    return text;
}

std::optional<std::int64_t> parseSignedDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    // Accumulate as a negative number so that the most negative value still fits.
    std::int64_t value = 0;
    for (char c : text) {
        std::int64_t digit = c - '0';
        if (value < (INT64_MIN + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == INT64_MIN) return std::nullopt;
    return -value;
}

std::optional<HelperVersion> HelperVersion::parse(std::string_view text) {
    std::string_view trimmed = trimWhitespace(text);
    if (trimmed.empty()) return std::nullopt;
    std::int64_t parts[3] = {0, 0, 0};
    size_t count = 0;
    while (true) {
        size_t dot = trimmed.find('.');
        std::string_view piece = trimmed.substr(0, dot);
        if (count == 3) return std::nullopt;
        auto value = parseSignedDecimal(piece);
        if (!value || *value < 0) return std::nullopt;
        parts[count++] = *value;
        if (dot == std::string_view::npos) break;
        trimmed.remove_prefix(dot + 1);
    }
    return HelperVersion{parts[0], parts[1], parts[2]};
}

std::string HelperVersion::description() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

nlohmann::json HelperVersion::toJSON() const {
    return description();
}

tl::expected<HelperVersion, DecodingError> HelperVersion::fromJSON(const nlohmann::json& value) {
    if (!value.is_string())
        return tl::unexpected(DecodingError{
            DecodingError::Kind::typeMismatch,
            "Expected to decode String but found " + std::string(value.type_name()) + " instead."});
    const auto& text = value.get_ref<const std::string&>();
    if (auto version = parse(text)) return *version;
    return tl::unexpected(
        DecodingError{DecodingError::Kind::dataCorrupted, "Invalid version string " + text + "."});
}

}  // namespace velmora::kit
