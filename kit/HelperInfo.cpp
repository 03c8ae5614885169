#include "kit/HelperInfo.h"

#include "kit/JsonCodec.h"

namespace velmora::kit {

tl::expected<std::string, EncodingError> HelperInfo::encoded() const {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["version"] = version.description();
    object["build"] = build;
    object["protocolVersion"] = protocolVersion;
    object["bundlePath"] = jsoncodec::escapeInvalidUTF8(bundlePath);
    object["processIdentifier"] = processIdentifier;
    object["loginShell"] = jsoncodec::escapeInvalidUTF8(loginShell);
    object["userName"] = jsoncodec::escapeInvalidUTF8(userName);
    return jsoncodec::dumpCompact(object);
}

tl::expected<HelperInfo, DecodingError> HelperInfo::decode(std::string_view data) {
    auto document = jsoncodec::parseDocument(data);
    if (!document) return tl::unexpected(document.error());
    jsoncodec::ObjectReader reader(*document, "", "HelperInfo");
    HelperInfo info{
        .version = reader.version("version"),
        .build = reader.int64("build"),
        .protocolVersion = reader.int64("protocolVersion"),
        .bundlePath = reader.string("bundlePath"),
        .processIdentifier = reader.int32("processIdentifier"),
        .loginShell = reader.string("loginShell"),
        .userName = reader.string("userName"),
    };
    if (reader.failed()) return tl::unexpected(reader.error());
    return info;
}

}  // namespace velmora::kit

std::size_t std::hash<velmora::kit::HelperInfo>::operator()(
    const velmora::kit::HelperInfo& info) const noexcept {
    using velmora::kit::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, std::hash<velmora::kit::HelperVersion>{}(info.version));
    hashCombine(seed, std::hash<std::int64_t>{}(info.build));
    hashCombine(seed, std::hash<std::int64_t>{}(info.protocolVersion));
    hashCombine(seed, std::hash<std::string>{}(info.bundlePath));
    hashCombine(seed, std::hash<std::int32_t>{}(info.processIdentifier));
    hashCombine(seed, std::hash<std::string>{}(info.loginShell));
    hashCombine(seed, std::hash<std::string>{}(info.userName));
    return seed;
}
