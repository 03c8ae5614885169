#include "kit/HelperErrors.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace velmora::kit {
namespace {

std::vector<HelperUpdateError> everyUpdateError() {
    return {
        HelperUpdateError::manifestInvalid(),
        HelperUpdateError::alreadyInProgress(),
        HelperUpdateError::downloadFailed("The server answered 404."),
        HelperUpdateError::sizeMismatch(),
        HelperUpdateError::checksumMismatch(),
        HelperUpdateError::expansionFailed(""),
        HelperUpdateError::signatureRejected("code object is not signed at all"),
        HelperUpdateError::versionPreflightFailed({1, 4, 0}, "Velmora Helper 1.3.0 (50), protocol 2\n"),
        HelperUpdateError::replaceFailed("rename: Permission denied \"x\" \u00e9"),
        HelperUpdateError::cancelled(),
        HelperUpdateError::busy(),
    };
}

TEST(HelperErrorSummary, FixedTextsAndPayloadsUnchanged) {
    EXPECT_EQ(HelperUninstallError::busy().summary(), "A local terminal is open.");
    EXPECT_EQ(HelperUninstallError::spawnFailed("/usr/bin/missing").summary(), "/usr/bin/missing");
    EXPECT_EQ(HelperUninstallError::spawnFailed("").summary(), "");

    EXPECT_EQ(HelperUpdateError::manifestInvalid().summary(), "The update information is not usable.");
    EXPECT_EQ(HelperUpdateError::alreadyInProgress().summary(), "An update is already running.");
    EXPECT_EQ(HelperUpdateError::sizeMismatch().summary(), "The download is not the published size.");
    EXPECT_EQ(HelperUpdateError::checksumMismatch().summary(),
              "The download does not match its published checksum.");
    EXPECT_EQ(HelperUpdateError::cancelled().summary(), "The update was cancelled.");
    EXPECT_EQ(HelperUpdateError::busy().summary(), HelperUninstallError::busy().summary());
    for (const std::string payload : {"", "  padded  ", "line\nbreak"}) {
        EXPECT_EQ(HelperUpdateError::downloadFailed(payload).summary(), payload);
        EXPECT_EQ(HelperUpdateError::expansionFailed(payload).summary(), payload);
        EXPECT_EQ(HelperUpdateError::signatureRejected(payload).summary(), payload);
        EXPECT_EQ(HelperUpdateError::replaceFailed(payload).summary(), payload);
    }
}

TEST(HelperErrorSummary, VersionPreflightQuotesTheTrimmedReport) {
    EXPECT_EQ(HelperUpdateError::versionPreflightFailed({1, 4, 0}, "1.3.0\n").summary(),
              "The new helper reported 1.3.0; 1.4.0 was expected.");
    EXPECT_EQ(
        HelperUpdateError::versionPreflightFailed({1, 4, 0}, " \t Velmora Helper 1.3.0 (5)  \r\n").summary(),
        "The new helper reported Velmora Helper 1.3.0 (5); 1.4.0 was expected.");
    for (const char* nothing : {" \n\t\r\n ", ""})
        EXPECT_EQ(HelperUpdateError::versionPreflightFailed({2, 0, 1}, nothing).summary(),
                  "The new helper did not report a version; 2.0.1 was expected.");
}

TEST(HelperErrorJSON, WritesOneMemberNamedAfterTheCase) {
    EXPECT_EQ(HelperUninstallError::busy().encoded().value(), R"({"busy":{}})");
    EXPECT_EQ(HelperUpdateError::busy().encoded().value(), R"({"busy":{}})");
    EXPECT_EQ(HelperUninstallError::spawnFailed("/a/b").encoded().value(),
              R"({"spawnFailed":{"_0":"/a/b"}})");
    EXPECT_EQ(HelperUpdateError::downloadFailed("timed out").encoded().value(),
              R"({"downloadFailed":{"_0":"timed out"}})");
    EXPECT_EQ(HelperUpdateError::versionPreflightFailed({1, 4, 0}, "1.3.0\n").encoded().value(),
              R"({"versionPreflightFailed":{"expected":"1.4.0","actual":"1.3.0\n"}})");
    EXPECT_EQ(HelperUpdateError::checksumMismatch().encoded().value(), R"({"checksumMismatch":{}})");
    // Text that is not UTF-8 cannot be written.
    EXPECT_FALSE(HelperUpdateError::downloadFailed("\xfe\xff").encoded().has_value());
    EXPECT_FALSE(HelperUninstallError::spawnFailed("\xc3").encoded().has_value());
}

TEST(HelperErrorJSON, EveryCaseSurvivesARoundTrip) {
    std::unordered_set<HelperUpdateError> distinct;
    for (const auto& error : everyUpdateError()) {
        auto bytes = error.encoded();
        ASSERT_TRUE(bytes.has_value()) << bytes.error().description;
        auto decoded = HelperUpdateError::decode(*bytes);
        ASSERT_TRUE(decoded.has_value()) << *bytes << ": " << decoded.error().description;
        EXPECT_EQ(*decoded, error) << *bytes;
        EXPECT_EQ(decoded->summary(), error.summary());
        distinct.insert(*decoded);
    }
    EXPECT_EQ(distinct.size(), everyUpdateError().size());

    for (const auto& error : {HelperUninstallError::busy(), HelperUninstallError::spawnFailed("/x y"),
                              HelperUninstallError::spawnFailed("")}) {
        auto decoded = HelperUninstallError::decode(error.encoded().value());
        ASSERT_TRUE(decoded.has_value()) << decoded.error().description;
        EXPECT_EQ(*decoded, error);
    }
}

TEST(HelperErrorJSON, ExactlyOneCaseMemberMustBePresent) {
    for (const char* document : {"{}", R"({"busy":{},"spawnFailed":{"_0":"x"}})", R"({"unknown":{}})",
                                 R"({"Busy":{}})", R"({"manifestInvalid":{}})"}) {
        auto error = HelperUninstallError::decode(document);
        ASSERT_FALSE(error.has_value()) << document;
        EXPECT_EQ(error.error().description, "Invalid number of keys found, expected one.") << document;
    }
    for (const char* document :
         {R"({"busy":{},"cancelled":{}})", R"({"downloadFailed":{"_0":"a"},"busy":{}})",
          R"({"spawnFailed":{"_0":"x"}})"}) {
        auto error = HelperUpdateError::decode(document);
        ASSERT_FALSE(error.has_value()) << document;
        EXPECT_EQ(error.error().description, "Invalid number of keys found, expected one.") << document;
    }
    // A name that is a case of only the other enumeration does not count.
    auto busyBesideCancelled = HelperUninstallError::decode(R"({"busy":{},"cancelled":{}})");
    ASSERT_TRUE(busyBesideCancelled.has_value());
    EXPECT_EQ(*busyBesideCancelled, HelperUninstallError::busy());

    auto withExtra = HelperUninstallError::decode(R"({"note":[1,2],"busy":{},"x":null})");
    ASSERT_TRUE(withExtra.has_value()) << withExtra.error().description;
    EXPECT_EQ(*withExtra, HelperUninstallError::busy());
    auto payloadIgnored = HelperUpdateError::decode(R"({"busy":{"_0":"ignored","more":{}}})");
    ASSERT_TRUE(payloadIgnored.has_value());
    EXPECT_EQ(*payloadIgnored, HelperUpdateError::busy());
}

TEST(HelperErrorJSON, PayloadMustBeAnObjectWithItsMembers) {
    for (const char* document : {
             R"({"busy":null})",
             R"({"busy":[]})",
             R"({"busy":"x"})",
             R"({"downloadFailed":{}})",
             R"({"downloadFailed":{"_0":null}})",
             R"({"downloadFailed":{"_0":5}})",
             R"({"downloadFailed":"text"})",
             R"({"versionPreflightFailed":{"expected":"1.4.0"}})",
             R"({"versionPreflightFailed":{"actual":"1.3.0"}})",
             R"({"versionPreflightFailed":{"expected":140,"actual":"1.3.0"}})",
             R"({"versionPreflightFailed":{"expected":"1.4.0","actual":null}})",
             "[]",
             "\"busy\"",
             "{\"busy\":{}",
         }) {
        EXPECT_FALSE(HelperUpdateError::decode(document).has_value()) << document;
    }
    auto badVersion =
        HelperUpdateError::decode(R"({"versionPreflightFailed":{"expected":"one","actual":"x"}})");
    ASSERT_FALSE(badVersion.has_value());
    EXPECT_EQ(badVersion.error().description, "Invalid version string one.");
}

TEST(HelperErrorJSON, ExpectedVersionIsReadInItsTextForm) {
    auto decoded = HelperUpdateError::decode(R"({"versionPreflightFailed":{"actual":"","expected":"2"}})");
    ASSERT_TRUE(decoded.has_value()) << decoded.error().description;
    EXPECT_EQ(*decoded, HelperUpdateError::versionPreflightFailed({2, 0, 0}, ""));
    EXPECT_EQ(decoded->encoded().value(), R"({"versionPreflightFailed":{"expected":"2.0.0","actual":""}})");
}

TEST(HelperUpdateEventValue, EqualityFollowsCaseAndPayload) {
    const std::vector<HelperUpdateEvent> events{
        HelperUpdateEvent::startedDownloading(100),
        HelperUpdateEvent::downloaded(100),
        HelperUpdateEvent::downloaded(101),
        HelperUpdateEvent::verified(),
        HelperUpdateEvent::staged(),
        HelperUpdateEvent::willRestart(),
        HelperUpdateEvent::failed(HelperUpdateError::sizeMismatch()),
        HelperUpdateEvent::failed(HelperUpdateError::busy()),
        HelperUpdateEvent::failed(HelperUpdateError::downloadFailed("a")),
        HelperUpdateEvent::failed(HelperUpdateError::downloadFailed("b")),
    };
    for (size_t i = 0; i < events.size(); ++i) {
        const HelperUpdateEvent copy = events[i];
        EXPECT_EQ(std::hash<HelperUpdateEvent>{}(copy), std::hash<HelperUpdateEvent>{}(events[i]));
        for (size_t j = 0; j < events.size(); ++j) EXPECT_EQ(copy == events[j], i == j) << i << " vs " << j;
    }
    EXPECT_EQ(std::unordered_set<HelperUpdateEvent>(events.begin(), events.end()).size(), events.size());
    EXPECT_EQ(events[1].byteCount(), 100);
    EXPECT_EQ(events[6].error(), HelperUpdateError::sizeMismatch());
    EXPECT_FALSE(events[3].error().has_value());
}

}  // namespace
}  // namespace velmora::kit
