#include "kit/HelperReleaseManifest.h"

#include "kit/JsonCodec.h"

namespace velmora::kit {

namespace {

nlohmann::json downloadJSON(const HelperReleaseManifest::Download& download) {
    return nlohmann::json{
        {"url", download.url},
        {"fileName", download.fileName},
        {"sha256", download.sha256},
        {"size", download.size},
    };
}

HelperReleaseManifest::Download readDownload(jsoncodec::ObjectReader reader,
                                             jsoncodec::ObjectReader& parent) {
    HelperReleaseManifest::Download download{
        .url = reader.url("url"),
        .fileName = reader.string("fileName"),
        .sha256 = reader.string("sha256"),
        .size = reader.int64("size"),
    };
    if (reader.failed()) parent.fail(reader.error());
    return download;
}

}  // namespace

bool HelperReleaseManifest::isCompatible(const HelperVersion& appVersion,
                                         std::int64_t clientProtocolVersion) const {
    if (appVersion < minimumAppVersion) return false;
    return clientProtocolVersion == protocolVersion;
}

tl::expected<std::string, EncodingError> HelperReleaseManifest::encoded() const {
    auto date = jsoncodec::formatInternetDateTime(publishedAt);
    if (!date)
        return tl::unexpected(
            EncodingError{"The publication date cannot be written as an internet date-time."});
    // nlohmann::json keeps object members in a std::map, so keys come out sorted by code point.
    nlohmann::json object = nlohmann::json::object();
    object["schemaVersion"] = schemaVersion;
    object["version"] = version.description();
    object["build"] = build;
    object["publishedAt"] = *date;
    object["minimumSystemVersion"] = minimumSystemVersion;
    object["minimumAppVersion"] = minimumAppVersion.description();
    object["protocolVersion"] = protocolVersion;
    object["download"] = downloadJSON(download);
    if (installer) object["installer"] = downloadJSON(*installer);
    object["releaseNotes"] = releaseNotes;
    return jsoncodec::dumpPretty(object);
}

tl::expected<HelperReleaseManifest, DecodingError> HelperReleaseManifest::decode(std::string_view data) {
    auto document = jsoncodec::parseDocument(data);
    if (!document) return tl::unexpected(document.error());
    jsoncodec::ObjectReader reader(*document, "", "HelperReleaseManifest");
    HelperReleaseManifest manifest{
        .schemaVersion = reader.int64("schemaVersion"),
        .version = reader.version("version"),
        .build = reader.int64("build"),
        .publishedAt = reader.date("publishedAt"),
        .minimumSystemVersion = reader.string("minimumSystemVersion"),
        .minimumAppVersion = reader.version("minimumAppVersion"),
        .protocolVersion = reader.int64("protocolVersion"),
        .download = readDownload(reader.object("download"), reader),
        .installer = std::nullopt,
        .releaseNotes = {},
    };
    if (auto installer = reader.optionalObject("installer"))
        manifest.installer = readDownload(*installer, reader);
    manifest.releaseNotes = reader.stringArray("releaseNotes");
    if (reader.failed()) return tl::unexpected(reader.error());
    return manifest;
}

}  // namespace velmora::kit

std::size_t std::hash<velmora::kit::HelperReleaseManifest::Download>::operator()(
    const velmora::kit::HelperReleaseManifest::Download& download) const noexcept {
    using velmora::kit::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, std::hash<std::string>{}(download.url));
    hashCombine(seed, std::hash<std::string>{}(download.fileName));
    hashCombine(seed, std::hash<std::string>{}(download.sha256));
    hashCombine(seed, std::hash<std::int64_t>{}(download.size));
    return seed;
}

std::size_t std::hash<velmora::kit::HelperReleaseManifest>::operator()(
    const velmora::kit::HelperReleaseManifest& manifest) const noexcept {
    using velmora::kit::hashCombine;
    using Download = velmora::kit::HelperReleaseManifest::Download;
    std::size_t seed = 0;
    hashCombine(seed, std::hash<std::int64_t>{}(manifest.schemaVersion));
    hashCombine(seed, std::hash<velmora::kit::HelperVersion>{}(manifest.version));
    hashCombine(seed, std::hash<std::int64_t>{}(manifest.build));
    hashCombine(seed, std::hash<std::int64_t>{}(manifest.publishedAt.time_since_epoch().count()));
    hashCombine(seed, std::hash<std::string>{}(manifest.minimumSystemVersion));
    hashCombine(seed, std::hash<velmora::kit::HelperVersion>{}(manifest.minimumAppVersion));
    hashCombine(seed, std::hash<std::int64_t>{}(manifest.protocolVersion));
    hashCombine(seed, std::hash<Download>{}(manifest.download));
    hashCombine(seed, manifest.installer.has_value());
    if (manifest.installer) hashCombine(seed, std::hash<Download>{}(*manifest.installer));
    hashCombine(seed, manifest.releaseNotes.size());
    for (const auto& note : manifest.releaseNotes) hashCombine(seed, std::hash<std::string>{}(note));
    return seed;
}
