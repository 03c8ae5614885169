#include "kit/HelperReleaseManifest.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <unordered_set>

namespace velmora::kit {
namespace {

using namespace std::chrono;

constexpr const char* publishedManifest = R"({
    "schemaVersion": 2,
    "version": "1.4.0",
    "build": 57,
    "publishedAt": "2025-03-01T12:00:00Z",
    "minimumSystemVersion": "13.0",
    "minimumAppVersion": "2.3.0",
    "protocolVersion": 2,
    "download": {
        "url": "https:\/\/downloads.velmora.example/helper/1.4.0/Velmora-Helper.zip",
        "fileName": "Velmora-Helper-1.4.0.zip",
        "sha256": "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08",
        "size": 1234,
        "mirror": "ignored"
    },
    "installer": null,
    "releaseNotes": ["Faster start.", "Fixes."],
    "channel": "stable"
})";

HelperReleaseManifest expectedManifest() {
    return HelperReleaseManifest{
        .schemaVersion = 2,
        .version = {1, 4, 0},
        .build = 57,
        .publishedAt = sys_days{year{2025} / March / 1} + hours{12},
        .minimumSystemVersion = "13.0",
        .minimumAppVersion = {2, 3, 0},
        .protocolVersion = 2,
        .download = {.url = "https://downloads.velmora.example/helper/1.4.0/Velmora-Helper.zip",
                     .fileName = "Velmora-Helper-1.4.0.zip",
                     .sha256 = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08",
                     .size = 1234},
        .installer = std::nullopt,
        .releaseNotes = {"Faster start.", "Fixes."},
    };
}

// The published document with one member (of "download" when `inDownload`) replaced, or removed when
// `value` is discarded.
std::string withMember(const std::string& key, const nlohmann::json& value, bool inDownload = false) {
    auto document = nlohmann::json::parse(publishedManifest);
    auto& parent = inDownload ? document["download"] : document;
    if (value.is_discarded())
        parent.erase(key);
    else
        parent[key] = value;
    return document.dump();
}
std::string withDownloadMember(const std::string& key, const nlohmann::json& value) {
    return withMember(key, value, true);
}

const nlohmann::json removed = nlohmann::json(nlohmann::json::value_t::discarded);

TEST(HelperReleaseManifestJSON, ReadsThePublishedFormAndWritesSortedIndentedOutputWithPlainSlashes) {
    auto published = HelperReleaseManifest::decode(publishedManifest);
    ASSERT_TRUE(published.has_value()) << published.error().description;
    EXPECT_EQ(*published, expectedManifest());

    auto manifest = expectedManifest();
    manifest.releaseNotes.clear();
    auto bytes = manifest.encoded();
    ASSERT_TRUE(bytes.has_value()) << bytes.error().description;
    EXPECT_EQ(*bytes, R"({
  "build": 57,
  "download": {
    "fileName": "Velmora-Helper-1.4.0.zip",
    "sha256": "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08",
    "size": 1234,
    "url": "https://downloads.velmora.example/helper/1.4.0/Velmora-Helper.zip"
  },
  "minimumAppVersion": "2.3.0",
  "minimumSystemVersion": "13.0",
  "protocolVersion": 2,
  "publishedAt": "2025-03-01T12:00:00Z",
  "releaseNotes": [],
  "schemaVersion": 2,
  "version": "1.4.0"
})");
}

TEST(HelperReleaseManifestJSON, InstallerIsOptionalButCompleteWhenPresent) {
    auto manifest = expectedManifest();
    manifest.installer = HelperReleaseManifest::Download{
        .url = "https://downloads.velmora.example/Velmora.dmg", .fileName = "", .sha256 = "xyz", .size = -1};
    auto bytes = manifest.encoded().value();
    auto build = bytes.find("\"build\""), download = bytes.find("\"download\""),
         installer = bytes.find("\"installer\""), minimumApp = bytes.find("\"minimumAppVersion\"");
    EXPECT_LT(build, download);
    EXPECT_LT(download, installer);
    EXPECT_LT(installer, minimumApp);
    auto decoded = HelperReleaseManifest::decode(bytes);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().description;
    EXPECT_EQ(*decoded, manifest);

    auto nullInstaller = HelperReleaseManifest::decode(withMember("installer", nullptr));
    ASSERT_TRUE(nullInstaller.has_value());
    EXPECT_EQ(nullInstaller->encoded().value().find("installer"), std::string::npos);
    EXPECT_TRUE(HelperReleaseManifest::decode(withMember("installer", removed)).has_value());

    auto incomplete =
        HelperReleaseManifest::decode(withMember("installer", {{"url", "https://a.example/x"}}));
    ASSERT_FALSE(incomplete.has_value());
    EXPECT_EQ(incomplete.error().kind, DecodingError::Kind::keyNotFound);
    EXPECT_NE(incomplete.error().description.find("installer.fileName"), std::string::npos)
        << incomplete.error().description;
    EXPECT_FALSE(HelperReleaseManifest::decode(withMember("installer", "https://a.example/x")).has_value());
}

TEST(HelperReleaseManifestJSON, EveryOtherFieldIsRequiredAndTyped) {
    for (const char* key : {"schemaVersion", "version", "build", "publishedAt", "minimumSystemVersion",
                            "minimumAppVersion", "protocolVersion", "download", "releaseNotes"}) {
        auto missing = HelperReleaseManifest::decode(withMember(key, removed));
        ASSERT_FALSE(missing.has_value()) << key;
        EXPECT_EQ(missing.error().kind, DecodingError::Kind::keyNotFound) << key;
        auto null = HelperReleaseManifest::decode(withMember(key, nullptr));
        ASSERT_FALSE(null.has_value()) << key;
        EXPECT_EQ(null.error().kind, DecodingError::Kind::valueNotFound) << key;
        EXPECT_FALSE(HelperReleaseManifest::decode(withMember(key, true)).has_value()) << key;
    }
    for (const char* key : {"url", "fileName", "sha256", "size"}) {
        EXPECT_FALSE(HelperReleaseManifest::decode(withDownloadMember(key, removed)).has_value()) << key;
        EXPECT_FALSE(HelperReleaseManifest::decode(withDownloadMember(key, nullptr)).has_value()) << key;
    }
    EXPECT_FALSE(HelperReleaseManifest::decode(withDownloadMember("size", "1234")).has_value());
    EXPECT_FALSE(HelperReleaseManifest::decode(withDownloadMember("size", 12.5)).has_value());
    EXPECT_FALSE(HelperReleaseManifest::decode(withMember("build", 18446744073709551615ULL)).has_value());
    EXPECT_FALSE(HelperReleaseManifest::decode(withMember("releaseNotes", {"a", 1})).has_value());
    EXPECT_FALSE(HelperReleaseManifest::decode(withMember("releaseNotes", "a")).has_value());

    auto badVersion = HelperReleaseManifest::decode(withMember("minimumAppVersion", "2.x"));
    ASSERT_FALSE(badVersion.has_value());
    EXPECT_EQ(badVersion.error().description, "Invalid version string 2.x.");
}

TEST(HelperReleaseManifestJSON, AcceptsValuesWithoutJudgingThem) {
    auto odd = HelperReleaseManifest::decode(withDownloadMember("size", -1));
    ASSERT_TRUE(odd.has_value());
    EXPECT_EQ(odd->download.size, -1);
    auto emptyNotes = HelperReleaseManifest::decode(withMember("releaseNotes", nlohmann::json::array()));
    ASSERT_TRUE(emptyNotes.has_value());
    EXPECT_TRUE(emptyNotes->releaseNotes.empty());
    auto otherSchema = HelperReleaseManifest::decode(withMember("schemaVersion", 7));
    ASSERT_TRUE(otherSchema.has_value());
    EXPECT_EQ(otherSchema->schemaVersion, 7);
    EXPECT_EQ(HelperReleaseManifest::currentSchemaVersion, 2);
    EXPECT_TRUE(HelperReleaseManifest::decode(withDownloadMember("sha256", "not hex")).has_value());
    auto version = HelperReleaseManifest::decode(withMember("version", "2"));
    ASSERT_TRUE(version.has_value());
    EXPECT_NE(version->encoded().value().find(R"("version": "2.0.0")"), std::string::npos);
}

TEST(HelperReleaseManifestJSON, PublicationDateIsAnInternetDateTimeInWholeSeconds) {
    auto expectedInstant = sys_days{year{2025} / March / 1} + hours{12};
    for (const char* text :
         {"2025-03-01T12:00:00Z", "2025-03-01T13:00:00+01:00", "2025-03-01T07:30:00-04:30"}) {
        auto manifest = HelperReleaseManifest::decode(withMember("publishedAt", text));
        ASSERT_TRUE(manifest.has_value()) << text << ": " << manifest.error().description;
        EXPECT_EQ(manifest->publishedAt, expectedInstant) << text;
        EXPECT_NE(manifest->encoded().value().find(R"("publishedAt": "2025-03-01T12:00:00Z")"),
                  std::string::npos);
    }
    for (const char* text : {"2025-03-01T12:00:00.000Z", "2025-03-01 12:00:00Z", "2025-03-01T12:00:00",
                             "2025-03-01", "1740830400", "2025-03-01T12:00Z", "2025-03-01t12:00:00z"}) {
        auto manifest = HelperReleaseManifest::decode(withMember("publishedAt", text));
        ASSERT_FALSE(manifest.has_value()) << text;
        EXPECT_EQ(manifest.error().kind, DecodingError::Kind::dataCorrupted) << text;
    }
    EXPECT_FALSE(HelperReleaseManifest::decode(withMember("publishedAt", 1740830400)).has_value());
}

TEST(HelperReleaseManifestJSON, URLMustParse) {
    for (const char* url : {"not a url", "relative/path.zip", "", "https://", "http://exa mple.com/"}) {
        auto manifest = HelperReleaseManifest::decode(withDownloadMember("url", url));
        ASSERT_FALSE(manifest.has_value()) << url;
        EXPECT_EQ(manifest.error().kind, DecodingError::Kind::dataCorrupted) << url;
    }
    // A NUL must not hide the rest of the text from the URL parser.
    EXPECT_FALSE(
        HelperReleaseManifest::decode(withDownloadMember("url", std::string("https://a.example/\0 x", 21)))
            .has_value());
    // Trust is judged by the updater, not here.
    for (const char* url :
         {"http://plain.example/x.zip", "ftp://files.example/a", "custom-scheme://host/p?q=1#f"}) {
        auto manifest = HelperReleaseManifest::decode(withDownloadMember("url", url));
        ASSERT_TRUE(manifest.has_value()) << url << ": " << manifest.error().description;
        EXPECT_EQ(manifest->download.url, url);
    }
}

TEST(HelperReleaseManifestJSON, DateOutsideFourDigitYearsFailsToEncode) {
    auto manifest = expectedManifest();
    manifest.publishedAt = sys_days{year{10000} / January / 1};
    EXPECT_FALSE(manifest.encoded().has_value());
    manifest.publishedAt = sys_days{year{-1} / December / 31};
    EXPECT_FALSE(manifest.encoded().has_value());
    manifest.publishedAt = sys_days{year{9999} / December / 31} + hours{23} + minutes{59} + seconds{59};
    auto decoded = HelperReleaseManifest::decode(manifest.encoded().value());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, manifest);
}

TEST(HelperReleaseManifestCompatibility, NeedsMinimumAppVersionAndTheSameProtocol) {
    auto manifest = expectedManifest();  // minimum app version 2.3.0, protocol 2
    const std::tuple<HelperVersion, std::int64_t, bool> cases[] = {
        {{2, 3, 0}, 2, true},  {{2, 2, 9}, 2, false}, {{10, 0, 0}, 2, true},
        {{2, 3, 0}, 3, false}, {{2, 3, 0}, 1, false}, {{-1, 99, 99}, 2, false}};
    for (const auto& [app, protocol, compatible] : cases)
        EXPECT_EQ(manifest.isCompatible(app, protocol), compatible) << app.description() << " " << protocol;
    manifest.schemaVersion = 99;
    manifest.version = {0, 0, 1};
    manifest.minimumSystemVersion = "999";
    EXPECT_TRUE(manifest.isCompatible({2, 3, 1}, 2));
}

TEST(HelperReleaseManifestValue, EqualityAndHashCoverEveryField) {
    auto base = expectedManifest();
    auto reversedNotes = base;
    std::swap(reversedNotes.releaseNotes[0], reversedNotes.releaseNotes[1]);
    EXPECT_NE(base, reversedNotes);

    std::vector<HelperReleaseManifest> variants(12, base);
    variants[0].schemaVersion = 3;
    variants[1].version = {1, 4, 1};
    variants[2].build = 58;
    variants[3].publishedAt += seconds{1};
    variants[4].minimumSystemVersion = "14.0";
    variants[5].minimumAppVersion = {2, 3, 1};
    variants[6].protocolVersion = 3;
    variants[7].download.size = 1235;
    variants[8].installer = base.download;
    variants[9].releaseNotes.push_back("");
    variants[10].download.url += "?";
    variants[11] = reversedNotes;
    std::unordered_set<HelperReleaseManifest> distinct{base};
    for (const auto& variant : variants) {
        EXPECT_NE(variant, base);
        distinct.insert(variant);
        auto bytes = variant.encoded();
        ASSERT_TRUE(bytes.has_value());
        auto decoded = HelperReleaseManifest::decode(*bytes);
        ASSERT_TRUE(decoded.has_value()) << decoded.error().description;
        EXPECT_EQ(*decoded, variant);
        EXPECT_EQ(std::hash<HelperReleaseManifest>{}(*decoded), std::hash<HelperReleaseManifest>{}(variant));
    }
    EXPECT_EQ(distinct.size(), variants.size() + 1);
}

}  // namespace
}  // namespace velmora::kit
