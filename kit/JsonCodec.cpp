#include "kit/JsonCodec.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "kit/CurlUrlLibrary.h"

namespace velmora::kit::jsoncodec {

namespace {

using Json = nlohmann::json;

DecodingError corrupted(std::string description) {
    return DecodingError{DecodingError::Kind::dataCorrupted, std::move(description)};
}

}  // namespace

// Counts brackets outside strings, so that the parser and everything that later walks the document
// never meet one deep enough to matter. Malformed text is left for the parser to reject.
bool nestsTooDeeply(std::string_view data) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : data) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maximumNestingDepth) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

namespace {

bool digitsAt(std::string_view text, std::size_t position, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = position; i < position + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// The instants that still format as a four-digit year.
constexpr std::chrono::sys_seconds earliestInstant{std::chrono::sys_days{std::chrono::year{0} / 1 / 1}};
constexpr std::chrono::sys_seconds endOfYear9999{std::chrono::sys_days{std::chrono::year{10000} / 1 / 1}};

// 2^53: a written number at or beyond this size may have been rounded on its way into a double.
constexpr double roundingThreshold = 9007199254740992.0;

}  // namespace

tl::expected<nlohmann::json, DecodingError> parseDocument(std::string_view data) {
    if (nestsTooDeeply(data))
        return tl::unexpected(corrupted("The given data was not valid JSON. Nesting deeper than " +
                                        std::to_string(maximumNestingDepth) + " levels."));
    try {
        return Json::parse(data.begin(), data.end());
    } catch (const Json::exception& error) {
        return tl::unexpected(
            corrupted("The given data was not valid JSON. " + escapeInvalidUTF8(error.what())));
    }
}

namespace {
// Length of the well-formed UTF-8 sequence at the start of `text` (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0.
std::size_t wellFormedSequenceLength(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || text.size() < length) return 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}
}  // namespace

std::string escapeInvalidUTF8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        if (std::size_t length = wellFormedSequenceLength(text); length > 0) {
            result.append(text.substr(0, length));
            text.remove_prefix(length);
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[0]));
        result += escaped;
        text.remove_prefix(1);
    }
    return result;
}

std::optional<std::chrono::sys_seconds> parseInternetDateTime(std::string_view text) {
    using namespace std::chrono;
    if (text.size() != 20 && text.size() != 25) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    int yearValue = 0, monthValue = 0, dayValue = 0, hourValue = 0, minuteValue = 0, secondValue = 0;
    if (!digitsAt(text, 0, 4, yearValue) || !digitsAt(text, 5, 2, monthValue) ||
        !digitsAt(text, 8, 2, dayValue) || !digitsAt(text, 11, 2, hourValue) ||
        !digitsAt(text, 14, 2, minuteValue) || !digitsAt(text, 17, 2, secondValue))
        return std::nullopt;
    if (hourValue > 23 || minuteValue > 59 || secondValue > 59) return std::nullopt;
    year_month_day date{year{yearValue}, month{static_cast<unsigned>(monthValue)},
                        day{static_cast<unsigned>(dayValue)}};
    if (!date.ok()) return std::nullopt;

    seconds offset{0};
    if (text.size() == 20) {
        if (text[19] != 'Z') return std::nullopt;
    } else {
        int offsetHours = 0, offsetMinutes = 0;
        if ((text[19] != '+' && text[19] != '-') || text[22] != ':' || !digitsAt(text, 20, 2, offsetHours) ||
            !digitsAt(text, 23, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offset = hours{offsetHours} + minutes{offsetMinutes};
        if (text[19] == '-') offset = -offset;
    }
    // Local time is UTC plus the offset.
    sys_seconds instant =
        sys_days{date} + hours{hourValue} + minutes{minuteValue} + seconds{secondValue} - offset;
    if (instant < earliestInstant || instant >= endOfYear9999) return std::nullopt;
    return instant;
}

std::optional<std::string> formatInternetDateTime(std::chrono::sys_seconds instant) {
    using namespace std::chrono;
    if (instant < earliestInstant || instant >= endOfYear9999) return std::nullopt;
    sys_days dayStart = floor<days>(instant);
    year_month_day date{dayStart};
    hh_mm_ss time{instant - dayStart};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return std::string(buffer);
}

bool isParsableURL(std::string_view text) {
    // libcurl reads a C string: an embedded NUL would let it judge only a prefix.
    if (text.find('\0') != std::string_view::npos) return false;
    // Only release manifests carry URLs, and they arrive through libcurl: it is loaded by then.
    auto curl = CurlUrlLibrary::get();
    if (!curl) return false;
    std::unique_ptr<CURLU, decltype(CurlUrlLibrary::curl_url_cleanup)> handle((*curl)->curl_url(),
                                                                              (*curl)->curl_url_cleanup);
    if (!handle) return false;
    std::string copy(text);
    return (*curl)->curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) ==
           CURLUE_OK;
}

tl::expected<std::string, EncodingError> dumpCompact(const nlohmann::ordered_json& value) {
    try {
        return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
    } catch (const nlohmann::ordered_json::exception& error) {
        return tl::unexpected(EncodingError{error.what()});
    }
}

tl::expected<std::string, EncodingError> dumpPretty(const nlohmann::json& value) {
    try {
        return value.dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception& error) {
        return tl::unexpected(EncodingError{error.what()});
    }
}

ObjectReader::ObjectReader(const nlohmann::json& value, std::string path, std::string_view typeName)
    : path_(std::move(path)) {
    if (value.is_object()) {
        object_ = &value;
        return;
    }
    std::string where = path_.empty() ? std::string() : " for key \"" + path_ + "\"";
    fail(DecodingError{DecodingError::Kind::typeMismatch, "Expected to decode " + std::string(typeName) +
                                                              where + " but found " + value.type_name() +
                                                              " instead."});
}

ObjectReader::ObjectReader(DecodingError error) : error_(std::move(error)) {}

void ObjectReader::fail(DecodingError error) {
    if (!error_) error_ = std::move(error);
}

const nlohmann::json* ObjectReader::member(std::string_view key) const {
    if (!object_) return nullptr;
    auto found = object_->find(key);
    return found == object_->end() ? nullptr : &*found;
}

std::string ObjectReader::pathOf(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

const nlohmann::json* ObjectReader::require(std::string_view key) {
    if (failed()) return nullptr;
    const Json* value = member(key);
    if (!value) {
        fail(DecodingError{DecodingError::Kind::keyNotFound,
                           "No value associated with key \"" + pathOf(key) + "\"."});
        return nullptr;
    }
    if (value->is_null()) {
        fail(DecodingError{DecodingError::Kind::valueNotFound,
                           "Expected a value for key \"" + pathOf(key) + "\" but found null instead."});
        return nullptr;
    }
    return value;
}

void ObjectReader::typeMismatch(std::string_view key, std::string_view expected,
                                const nlohmann::json& found) {
    fail(DecodingError{DecodingError::Kind::typeMismatch, "Expected to decode " + std::string(expected) +
                                                              " for key \"" + pathOf(key) + "\" but found " +
                                                              found.type_name() + " instead."});
}

std::optional<std::int64_t> ObjectReader::integer(std::string_view key, std::int64_t minimum,
                                                  std::int64_t maximum, std::string_view typeName) {
    const Json* value = require(key);
    if (!value) return std::nullopt;
    auto outOfRange = [&] {
        fail(corrupted("Number " + value->dump() + " for key \"" + pathOf(key) + "\" does not fit in " +
                       std::string(typeName) + "."));
        return std::nullopt;
    };
    if (value->is_number_unsigned()) {
        auto number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(maximum)) return outOfRange();
        return static_cast<std::int64_t>(number);
    }
    if (value->is_number_integer()) {
        auto number = value->get<std::int64_t>();
        if (number < minimum || number > maximum) return outOfRange();
        return number;
    }
    if (value->is_number_float()) {
        // Written with a fraction or an exponent: accepted only when the value is a whole number
        // small enough that the double cannot have rounded it.
        double number = value->get<double>();
        if (!std::isfinite(number) || std::trunc(number) != number) {
            fail(
                corrupted("Number " + value->dump() + " for key \"" + pathOf(key) + "\" is not an integer."));
            return std::nullopt;
        }
        if (std::fabs(number) >= roundingThreshold || number < static_cast<double>(minimum) ||
            number > static_cast<double>(maximum))
            return outOfRange();
        return static_cast<std::int64_t>(number);
    }
    typeMismatch(key, typeName, *value);
    return std::nullopt;
}

std::int64_t ObjectReader::int64(std::string_view key) {
    return integer(key, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                   "Int64")
        .value_or(0);
}

std::int32_t ObjectReader::int32(std::string_view key) {
    return static_cast<std::int32_t>(integer(key, std::numeric_limits<std::int32_t>::min(),
                                             std::numeric_limits<std::int32_t>::max(), "Int32")
                                         .value_or(0));
}

bool ObjectReader::boolean(std::string_view key) {
    const Json* value = require(key);
    if (!value) return false;
    if (!value->is_boolean()) {
        typeMismatch(key, "Bool", *value);
        return false;
    }
    return value->get<bool>();
}

std::string ObjectReader::string(std::string_view key) {
    const Json* value = require(key);
    if (!value) return {};
    if (!value->is_string()) {
        typeMismatch(key, "String", *value);
        return {};
    }
    return value->get<std::string>();
}

std::optional<std::string> ObjectReader::optionalString(std::string_view key) {
    if (failed()) return std::nullopt;
    const Json* value = member(key);
    if (!value || value->is_null()) return std::nullopt;
    return string(key);
}

std::unordered_map<std::string, std::string> ObjectReader::stringMap(std::string_view key) {
    const Json* value = require(key);
    if (!value) return {};
    if (!value->is_object()) {
        typeMismatch(key, "Dictionary<String, String>", *value);
        return {};
    }
    std::unordered_map<std::string, std::string> map;
    for (const auto& [name, entry] : value->items()) {
        if (!entry.is_string()) {
            typeMismatch(std::string(key) + "." + name, "String", entry);
            return {};
        }
        map.emplace(name, entry.get<std::string>());
    }
    return map;
}

std::vector<std::string> ObjectReader::stringArray(std::string_view key) {
    const Json* value = require(key);
    if (!value) return {};
    if (!value->is_array()) {
        typeMismatch(key, "Array<String>", *value);
        return {};
    }
    std::vector<std::string> list;
    list.reserve(value->size());
    for (std::size_t index = 0; index < value->size(); ++index) {
        const Json& entry = (*value)[index];
        if (!entry.is_string()) {
            typeMismatch(std::string(key) + "[" + std::to_string(index) + "]", "String", entry);
            return {};
        }
        list.push_back(entry.get<std::string>());
    }
    return list;
}

HelperVersion ObjectReader::version(std::string_view key) {
    const Json* value = require(key);
    if (!value) return {};
    auto version = HelperVersion::fromJSON(*value);
    if (!version) {
        fail(version.error());
        return {};
    }
    return *version;
}

std::chrono::sys_seconds ObjectReader::date(std::string_view key) {
    const Json* value = require(key);
    if (!value) return {};
    if (!value->is_string()) {
        typeMismatch(key, "Date", *value);
        return {};
    }
    if (auto instant = parseInternetDateTime(value->get_ref<const std::string&>())) return *instant;
    fail(corrupted("Expected date string to be ISO8601-formatted for key \"" + pathOf(key) + "\"."));
    return {};
}

std::string ObjectReader::url(std::string_view key) {
    const Json* value = require(key);
    if (!value) return {};
    if (!value->is_string()) {
        typeMismatch(key, "URL", *value);
        return {};
    }
    const auto& text = value->get_ref<const std::string&>();
    if (!isParsableURL(text)) {
        fail(corrupted("Invalid URL string for key \"" + pathOf(key) + "\"."));
        return {};
    }
    return text;
}

ObjectReader ObjectReader::object(std::string_view key) {
    const Json* value = require(key);
    if (!value) return ObjectReader(error());
    return ObjectReader(*value, pathOf(key), "Dictionary<String, Any>");
}

std::optional<ObjectReader> ObjectReader::optionalObject(std::string_view key) {
    if (failed()) return std::nullopt;
    const Json* value = member(key);
    if (!value || value->is_null()) return std::nullopt;
    return object(key);
}

std::size_t unorderedMapHash(const std::unordered_map<std::string, std::string>& map) {
    std::size_t sum = map.size();
    for (const auto& [name, value] : map) {
        std::size_t entry = std::hash<std::string>{}(name);
        hashCombine(entry, std::hash<std::string>{}(value));
        sum += entry;
    }
    return sum;
}

}  // namespace velmora::kit::jsoncodec
