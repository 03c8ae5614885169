// The records that cross the wire or come from the release server: each written once as the other side
// reads it, read back, and refused when it is not what it must be.

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "kit/HelperErrors.h"
#include "kit/HelperInfo.h"
#include "kit/HelperReleaseManifest.h"
#include "kit/JsonCodec.h"
#include "kit/ShellLaunchEnvironment.h"
#include "kit/ShellMessages.h"
#include "kit/VelmoraHelperIdentity.h"

namespace velmora::kit {
namespace {

using namespace std::chrono;
using Kind = DecodingError::Kind;
using E = HelperUpdateError;

// Encodes to exactly `golden`, reads `golden` back to an equal value with an equal hash.
template <class Record>
void expectGolden(const Record& value, const std::string& golden) {
    SCOPED_TRACE(golden);
    auto bytes = value.encoded();
    ASSERT_TRUE(bytes) << bytes.error().description;
    EXPECT_EQ(*bytes, golden);
    auto decoded = Record::decode(golden);
    ASSERT_TRUE(decoded) << decoded.error().description;
    EXPECT_EQ(*decoded, value);
    EXPECT_EQ(std::hash<Record>{}(*decoded), std::hash<Record>{}(value));
}

HelperReleaseManifest manifest() {
    return {.schemaVersion = 2,
            .version = {1, 4, 0},
            .build = 57,
            .publishedAt = sys_days{year{2025} / March / 1} + hours{12},
            .minimumSystemVersion = "13.0",
            .minimumAppVersion = {2, 3, 0},
            .protocolVersion = 2,
            .download = {"https://velmora.norwick.com/downloads/helper/a.zip", "a.zip", "9F86", 1234},
            .installer = std::nullopt,
            .releaseNotes = {"Fixes."}};
}

TEST(Records, GoldenDocumentsRoundTrip) {
    expectGolden(
        ShellLaunchRequest{.columns = -3,
                           .rows = INT64_MAX,
                           .workingDirectory = "/home/u/a dir",
                           .shellPath = "/bin/zsh",
                           .loginShell = false,
                           .environment = {{"ZED", "z"}, {"A", "\"q\"/\u00e9"}, {"NUL", {"a\0b", 3}}},
                           .terminalProgramVersion = "3.1.0"},
        R"({"columns":-3,"rows":9223372036854775807,"workingDirectory":"/home/u/a dir",)"
        R"("shellPath":"/bin/zsh","loginShell":false,"environment":{"A":"\"q\"/é","NUL":"a\u0000b",)"
        R"("ZED":"z"},"terminalProgramVersion":"3.1.0"})");
    expectGolden(ShellLaunchResponse{4242, "/dev/pts/7", "/bin/bash", "/home/u"},
                 R"({"processIdentifier":4242,"ttyPath":"/dev/pts/7","shellPath":"/bin/bash",)"
                 R"("workingDirectory":"/home/u"})");
    expectGolden(
        ShellLaunchResponse::failed("x"),
        R"({"processIdentifier":0,"ttyPath":"","shellPath":"","workingDirectory":"","failure":"x"})");
    expectGolden(HelperInfo{{1, 4, 0}, 57, 2, "/h/Velmora Helper.app", 777, "/bin/bash", "u"},
                 R"({"version":"1.4.0","build":57,"protocolVersion":2,"bundlePath":"/h/Velmora Helper.app",)"
                 R"("processIdentifier":777,"loginShell":"/bin/bash","userName":"u"})");
    expectGolden(HelperUninstallError::busy(), R"({"busy":{}})");
    expectGolden(E::checksumMismatch(), R"({"checksumMismatch":{}})");
    expectGolden(E::downloadFailed("timed out"), R"({"downloadFailed":{"_0":"timed out"}})");
    expectGolden(E::versionPreflightFailed({1, 4, 0}, "1.3.0\n"),
                 R"({"versionPreflightFailed":{"expected":"1.4.0","actual":"1.3.0\n"}})");
    // The release server's form: sorted, indented, plain slashes.
    expectGolden(manifest(), R"({
  "build": 57,
  "download": {
    "fileName": "a.zip",
    "sha256": "9F86",
    "size": 1234,
    "url": "https://velmora.norwick.com/downloads/helper/a.zip"
  },
  "minimumAppVersion": "2.3.0",
  "minimumSystemVersion": "13.0",
  "protocolVersion": 2,
  "publishedAt": "2025-03-01T12:00:00Z",
  "releaseNotes": [
    "Fixes."
  ],
  "schemaVersion": 2,
  "version": "1.4.0"
})");
    // Every update error survives a round trip and keeps its summary.
    for (const auto& error :
         {E::manifestInvalid(), E::alreadyInProgress(), E::sizeMismatch(), E::cancelled(), E::busy(),
          E::expansionFailed(""), E::signatureRejected("s"), E::replaceFailed("r")})
        EXPECT_EQ(E::decode(error.encoded().value()).value(), error) << error.summary();
    // What the helper sends back always encodes, bytes that are not UTF-8 shown as \xHH (a null reply
    // would read as success); a request the client would send with them fails instead of throwing.
    EXPECT_EQ(E::expansionFailed("J\x94rg").encoded().value(), R"({"expansionFailed":{"_0":"J\\x94rg"}})");
    EXPECT_EQ(kit::HelperUninstallError::spawnFailed("/h\xfe").summary(), "/h\\xFE");
    EXPECT_EQ(ShellLaunchResponse::decode(ShellLaunchResponse::failed("\xc3(").encoded().value())->failure,
              "\\xC3(");
    EXPECT_FALSE((ShellLaunchRequest{.shellPath = "/bin/\xc3(sh"}).encoded());
}

// Why `document` is refused as a `Record`; "accepted" when it is not.
template <class Record>
DecodingError refusal(const std::string& document) {
    auto decoded = Record::decode(document);
    return decoded ? DecodingError{Kind::dataCorrupted, "accepted"} : decoded.error();
}

TEST(Records, RefusedDocuments) {
    const std::string request = R"({"columns":80,"rows":24,"loginShell":true,"environment":{})";
    const std::string info = R"("build":1,"protocolVersion":2,"bundlePath":"/b","processIdentifier":1,)"
                             R"("loginShell":"/bin/sh","userName":"u"})";
    auto noDate = nlohmann::json::parse(manifest().encoded().value());
    noDate.erase("publishedAt");
    const std::tuple<DecodingError (*)(const std::string&), std::string, Kind, std::string> cases[] = {
        {refusal<ShellLaunchRequest>, R"({"columns":80,"rows":24,"loginShell":true})", Kind::keyNotFound, ""},
        {refusal<ShellLaunchRequest>, request + R"(,"rows":null})", Kind::valueNotFound, ""},
        {refusal<ShellLaunchRequest>, request + R"(,"loginShell":1})", Kind::typeMismatch, ""},
        {refusal<ShellLaunchRequest>, request + R"(,"columns":9223372036854775808})", Kind::dataCorrupted,
         ""},
        {refusal<ShellLaunchRequest>, request + R"(,"columns":1.5})", Kind::dataCorrupted, ""},
        {refusal<ShellLaunchRequest>, "{\"x\":" + std::string(200'000, '[') + "}", Kind::dataCorrupted, ""},
        {refusal<ShellLaunchResponse>,
         R"({"processIdentifier":2147483648,"ttyPath":"","shellPath":"","workingDirectory":""})",
         Kind::dataCorrupted, ""},
        {refusal<HelperInfo>, R"({"version":"v1.2",)" + info, Kind::dataCorrupted,
         "Invalid version string v1.2."},
        {refusal<HelperInfo>, "{" + info, Kind::keyNotFound, ""},
        {refusal<HelperUninstallError>, R"({"busy":{},"spawnFailed":{"_0":"x"}})", Kind::typeMismatch,
         "Invalid number of keys found, expected one."},
        {refusal<E>, R"({"spawnFailed":{"_0":"x"}})", Kind::typeMismatch,
         "Invalid number of keys found, expected one."},
        {refusal<E>, R"({"downloadFailed":{"_0":5}})", Kind::typeMismatch, ""},
        {refusal<HelperReleaseManifest>, noDate.dump(), Kind::keyNotFound, ""},
    };
    for (const auto& [decode, document, kind, description] : cases) {
        SCOPED_TRACE(document.substr(0, 120));
        auto error = decode(document);
        EXPECT_EQ(error.kind, kind) << error.description;
        EXPECT_NE(error.description, "accepted");
        if (!description.empty()) {
            EXPECT_EQ(error.description, description);
        }
    }
    auto document = nlohmann::json::parse(manifest().encoded().value());
    for (const char* date : {"2023-02-29T00:00:00Z", "2025-01-01T24:00:00Z", "2025-01-01T12:00:00.5Z",
                             "9999-12-31T23:59:59-00:01"}) {
        document["publishedAt"] = date;
        EXPECT_FALSE(HelperReleaseManifest::decode(document.dump())) << date;
    }
    document["publishedAt"] = "1970-01-01T23:59:00+23:59";
    EXPECT_EQ(HelperReleaseManifest::decode(document.dump())->publishedAt, sys_seconds{});
}

TEST(Records, VersionsParseCompareAndGateCompatibility) {
    EXPECT_EQ(HelperVersion::parse(" \xC2\xA0"
                                   "01.2\n"),
              (HelperVersion{1, 2, 0}));
    for (const char* text : {"", "1.2.3.4", "1..3", "v1.2.3", "1.-2.3", "-1", "9223372036854775808", "1. 2"})
        EXPECT_EQ(HelperVersion::parse(text), std::nullopt) << text;
    EXPECT_LT((HelperVersion{1, 9, 9}), (HelperVersion{2, 0, 0}));
    EXPECT_LT((HelperVersion{2, 0, 9}), (HelperVersion{2, 1, 0}));
    auto release = manifest();  // needs app 2.3.0 and protocol 2
    EXPECT_TRUE(release.isCompatible({2, 3, 0}, 2));
    EXPECT_FALSE(release.isCompatible({2, 2, 9}, 2));
    EXPECT_FALSE(release.isCompatible({2, 3, 0}, 3));
}

TEST(Records, DownloadRuleAdmitsOnlyFilesBelowThePublishedPrefix) {
    const std::string base = "https://velmora.norwick.com";
    for (const std::string& url : {base + "/downloads/helper/a.zip", base + "/downloads//helper/./1/a.zip",
                                   std::string("HTTPS://VELMORA.NORWICK.COM/downloads/helper/a.zip")})
        EXPECT_TRUE(VelmoraHelperIdentity::isTrustedDownloadURL(url)) << url;
    for (const std::string& url :
         {base + "/downloads/helper/", base + "/downloads/helper/../evil.zip",
          base + "/downloads/helperx/a.zip", std::string("http://velmora.norwick.com/downloads/helper/a.zip"),
          base + ".evil.example/downloads/helper/a.zip",
          std::string("https://u@velmora.norwick.com/downloads/helper/a"),
          base + ":443/downloads/helper/a.zip", std::string("/downloads/helper/a.zip"), std::string(""),
          std::string("https:/velmora.norwick.com/downloads/helper/a.zip"),
          std::string("https:///velmora.norwick.com/downloads/helper/a.zip")})
        EXPECT_FALSE(VelmoraHelperIdentity::isTrustedDownloadURL(url)) << url;
}

}  // namespace
}  // namespace velmora::kit
