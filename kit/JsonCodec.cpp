#include "kit/JsonCodec.h"

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
