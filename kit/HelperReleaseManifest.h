#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "kit/DecodingError.h"
#include "kit/EncodingError.h"
#include "kit/HelperVersion.h"

namespace velmora::kit {

// The published description of one helper release. Decoding checks the form of every field but
// not its sense: negative sizes, odd digests or another schema version are accepted here.
struct HelperReleaseManifest {
    // One downloadable archive.
    struct Download {
        // Absolute URL text, accepted by libcurl's URL parser when decoded; no trust check here.
        std::string url;
        // Name under which the archive is stored while it is examined.
        std::string fileName;
        // SHA-256 of the archive as hexadecimal digits, in either case.
        std::string sha256;
        std::int64_t size = 0;

        friend bool operator==(const Download&, const Download&) = default;
    };

    static constexpr std::int64_t currentSchemaVersion = 2;

    std::int64_t schemaVersion = 0;
    HelperVersion version;
    std::int64_t build = 0;
    std::chrono::sys_seconds publishedAt{};
    // Carried as published, never interpreted.
    std::string minimumSystemVersion;
    HelperVersion minimumAppVersion;
    std::int64_t protocolVersion = 0;
    Download download;
    // Published beside the helper archive; never fetched by the helper.
    std::optional<Download> installer;
    std::vector<std::string> releaseNotes;

    // True when `appVersion` is at least minimumAppVersion and `clientProtocolVersion` is exactly
    // protocolVersion.
    [[nodiscard]] bool isCompatible(const HelperVersion& appVersion,
                                    std::int64_t clientProtocolVersion) const;

    // Indented, keys sorted, slashes unescaped, the date in UTC, no "installer" when absent.
    // Fails for text that is not UTF-8 or a date outside the years 0000..9999.
    [[nodiscard]] tl::expected<std::string, EncodingError> encoded() const;
    [[nodiscard]] static tl::expected<HelperReleaseManifest, DecodingError> decode(std::string_view data);

    friend bool operator==(const HelperReleaseManifest&, const HelperReleaseManifest&) = default;
};

}  // namespace velmora::kit

template <>
struct std::hash<velmora::kit::HelperReleaseManifest::Download> {
    std::size_t operator()(const velmora::kit::HelperReleaseManifest::Download& download) const noexcept;
};

template <>
struct std::hash<velmora::kit::HelperReleaseManifest> {
    std::size_t operator()(const velmora::kit::HelperReleaseManifest& manifest) const noexcept;
};
