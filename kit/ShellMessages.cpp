#include "kit/ShellMessages.h"

#include <algorithm>
#include <vector>

#include "kit/JsonCodec.h"

namespace velmora::kit {

namespace {

void hashOptional(std::size_t& seed, const std::optional<std::string>& text) {
    hashCombine(seed, text.has_value());
    if (text) hashCombine(seed, std::hash<std::string>{}(*text));
}

}  // namespace

tl::expected<std::string, EncodingError> ShellLaunchRequest::encoded() const {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["columns"] = columns;
    object["rows"] = rows;
    if (workingDirectory) object["workingDirectory"] = *workingDirectory;
    if (shellPath) object["shellPath"] = *shellPath;
    object["loginShell"] = loginShell;
    // Sorted, so that equal requests are written identically.
    std::vector<const std::pair<const std::string, std::string>*> entries;
    entries.reserve(environment.size());
    for (const auto& entry : environment) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
    nlohmann::ordered_json variables = nlohmann::ordered_json::object();
    for (const auto* entry : entries) variables[entry->first] = entry->second;
    object["environment"] = std::move(variables);
    if (terminalProgramVersion) object["terminalProgramVersion"] = *terminalProgramVersion;
    return jsoncodec::dumpCompact(object);
}

tl::expected<ShellLaunchRequest, DecodingError> ShellLaunchRequest::decode(std::string_view data) {
    auto document = jsoncodec::parseDocument(data);
    if (!document) return tl::unexpected(document.error());
    jsoncodec::ObjectReader reader(*document, "", "ShellLaunchRequest");
    ShellLaunchRequest request{
        .columns = reader.int64("columns"),
        .rows = reader.int64("rows"),
        .workingDirectory = reader.optionalString("workingDirectory"),
        .shellPath = reader.optionalString("shellPath"),
        .loginShell = reader.boolean("loginShell"),
        .environment = reader.stringMap("environment"),
        .terminalProgramVersion = reader.optionalString("terminalProgramVersion"),
    };
    if (reader.failed()) return tl::unexpected(reader.error());
    return request;
}

ShellLaunchResponse ShellLaunchResponse::failed(std::string message) {
    return ShellLaunchResponse{.processIdentifier = 0, .failure = jsoncodec::escapeInvalidUTF8(message)};
}

tl::expected<std::string, EncodingError> ShellLaunchResponse::encoded() const {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["processIdentifier"] = processIdentifier;
    object["ttyPath"] = ttyPath;
    object["shellPath"] = jsoncodec::escapeInvalidUTF8(shellPath);
    object["workingDirectory"] = jsoncodec::escapeInvalidUTF8(workingDirectory);
    if (failure) object["failure"] = jsoncodec::escapeInvalidUTF8(*failure);
    return jsoncodec::dumpCompact(object);
}

tl::expected<ShellLaunchResponse, DecodingError> ShellLaunchResponse::decode(std::string_view data) {
    auto document = jsoncodec::parseDocument(data);
    if (!document) return tl::unexpected(document.error());
    jsoncodec::ObjectReader reader(*document, "", "ShellLaunchResponse");
    ShellLaunchResponse response{
        .processIdentifier = reader.int32("processIdentifier"),
        .ttyPath = reader.string("ttyPath"),
        .shellPath = reader.string("shellPath"),
        .workingDirectory = reader.string("workingDirectory"),
        .failure = reader.optionalString("failure"),
    };
    if (reader.failed()) return tl::unexpected(reader.error());
    return response;
}

}  // namespace velmora::kit

std::size_t std::hash<velmora::kit::ShellLaunchRequest>::operator()(
    const velmora::kit::ShellLaunchRequest& request) const noexcept {
    using velmora::kit::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, std::hash<std::int64_t>{}(request.columns));
    hashCombine(seed, std::hash<std::int64_t>{}(request.rows));
    velmora::kit::hashOptional(seed, request.workingDirectory);
    velmora::kit::hashOptional(seed, request.shellPath);
    hashCombine(seed, std::hash<bool>{}(request.loginShell));
    hashCombine(seed, velmora::kit::jsoncodec::unorderedMapHash(request.environment));
    velmora::kit::hashOptional(seed, request.terminalProgramVersion);
    return seed;
}

std::size_t std::hash<velmora::kit::ShellLaunchResponse>::operator()(
    const velmora::kit::ShellLaunchResponse& response) const noexcept {
    using velmora::kit::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, std::hash<std::int32_t>{}(response.processIdentifier));
    hashCombine(seed, std::hash<std::string>{}(response.ttyPath));
    hashCombine(seed, std::hash<std::string>{}(response.shellPath));
    hashCombine(seed, std::hash<std::string>{}(response.workingDirectory));
    velmora::kit::hashOptional(seed, response.failure);
    return seed;
}
