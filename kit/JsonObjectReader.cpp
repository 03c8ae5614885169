#include <cmath>
#include <limits>

#include "kit/JsonCodec.h"

namespace velmora::kit::jsoncodec {

namespace {

using Json = nlohmann::json;

DecodingError corrupted(std::string description) {
    return DecodingError{DecodingError::Kind::dataCorrupted, std::move(description)};
}

// 2^53: a written number at or beyond this size may have been rounded on its way into a double.
constexpr double roundingThreshold = 9007199254740992.0;

}  // namespace

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

}  // namespace velmora::kit::jsoncodec
