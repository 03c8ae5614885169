#include "kit/JsonCodec.h"

#include <gtest/gtest.h>

#include <string>

#include "kit/ShellMessages.h"

namespace velmora::kit::jsoncodec {
namespace {

using namespace std::chrono;

TEST(InternetDateTime, ChecksEveryFieldRange) {
    EXPECT_EQ(parseInternetDateTime("2024-02-29T00:00:00Z"), sys_days{year{2024} / February / 29});
    EXPECT_EQ(parseInternetDateTime("2000-02-29T23:59:59Z"),
              sys_days{year{2000} / February / 29} + hours{23} + minutes{59} + seconds{59});
    EXPECT_EQ(parseInternetDateTime("1970-01-01T00:00:00Z"), sys_seconds{});
    EXPECT_EQ(parseInternetDateTime("1970-01-01T00:00:00-00:00"), sys_seconds{});
    EXPECT_EQ(parseInternetDateTime("1970-01-01T23:59:00+23:59"), sys_seconds{});
    for (const char* text : {
             "2023-02-29T00:00:00Z",     "1900-02-29T00:00:00Z",      "2025-04-31T00:00:00Z",
             "2025-13-01T00:00:00Z",     "2025-00-01T00:00:00Z",      "2025-01-00T00:00:00Z",
             "2025-01-32T00:00:00Z",     "2025-01-01T24:00:00Z",      "2025-01-01T12:60:00Z",
             "2025-01-01T12:00:60Z",     "2025-01-01T12:00:00+24:00", "2025-01-01T12:00:00+01:60",
             "2025-01-01T12:00:00+0100", "2025-01-01T12:00:00 01:00", "2025-1-01T12:00:00Z",
             "+025-01-01T12:00:00Z",     "2025-01-01T12:00:00ZZ",     "2025-01-01T12:00:0Z",
             "2025-01-01T12:00:00.5Z",   "2025-01-01T12:00:00,5Z",    "",
         }) {
        EXPECT_FALSE(parseInternetDateTime(text).has_value()) << text;
    }
}

TEST(InternetDateTime, StaysWithinFourDigitYearsInUTC) {
    EXPECT_EQ(parseInternetDateTime("0000-01-01T00:00:00Z"), sys_days{year{0} / January / 1});
    EXPECT_FALSE(parseInternetDateTime("0000-01-01T00:00:00+00:01").has_value());
    EXPECT_EQ(parseInternetDateTime("9999-12-31T23:59:59Z"),
              sys_days{year{9999} / December / 31} + hours{23} + minutes{59} + seconds{59});
    EXPECT_FALSE(parseInternetDateTime("9999-12-31T23:59:59-00:01").has_value());

    EXPECT_EQ(formatInternetDateTime(sys_days{year{0} / January / 1}), "0000-01-01T00:00:00Z");
    EXPECT_EQ(
        formatInternetDateTime(sys_days{year{1969} / December / 31} + hours{23} + minutes{5} + seconds{7}),
        "1969-12-31T23:05:07Z");
    EXPECT_FALSE(formatInternetDateTime(sys_days{year{0} / January / 1} - seconds{1}).has_value());
    EXPECT_FALSE(formatInternetDateTime(sys_days{year{10000} / January / 1}).has_value());
    EXPECT_FALSE(formatInternetDateTime(sys_seconds::max()).has_value());
    EXPECT_FALSE(formatInternetDateTime(sys_seconds::min()).has_value());

    for (const char* text : {"2025-03-01T12:00:00Z", "1999-12-31T23:59:59Z", "0001-06-15T08:09:10Z"}) {
        auto instant = parseInternetDateTime(text);
        ASSERT_TRUE(instant.has_value()) << text;
        EXPECT_EQ(formatInternetDateTime(*instant), text);
    }
}

std::string nested(std::size_t depth, const std::string& inner = "1") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonDocument, NestingIsCappedBeforeParsing) {
    EXPECT_TRUE(parseDocument(nested(maximumNestingDepth)).has_value());
    auto tooDeep = parseDocument(nested(maximumNestingDepth + 1));
    ASSERT_FALSE(tooDeep.has_value());
    EXPECT_EQ(tooDeep.error().kind, DecodingError::Kind::dataCorrupted);
    // Far too deep for a recursive reader, and unbalanced: refused all the same.
    EXPECT_FALSE(parseDocument(std::string(1'000'000, '[')).has_value());
    EXPECT_FALSE(ShellLaunchRequest::decode("{\"x\":" + nested(200'000) + "}").has_value());
    // Brackets inside strings, escaped quotes included, are text.
    std::string text = "\"\\\"" + std::string(500, '[') + "\"";
    auto inString = parseDocument("[" + text + "]");
    ASSERT_TRUE(inString.has_value()) << inString.error().description;
    EXPECT_EQ(inString->at(0).get<std::string>().size(), 501u);
    // Unknown members still count towards the depth of a record.
    auto request =
        ShellLaunchRequest::decode(R"({"columns":80,"rows":24,"loginShell":true,"environment":{},"x":)" +
                                   nested(maximumNestingDepth - 1) + "}");
    EXPECT_TRUE(request.has_value());
    EXPECT_FALSE(
        ShellLaunchRequest::decode(R"({"columns":80,"rows":24,"loginShell":true,"environment":{},"x":)" +
                                   nested(maximumNestingDepth) + "}")
            .has_value());
}

TEST(JsonDocument, OnlyOneCompleteDocumentIsAccepted) {
    EXPECT_TRUE(parseDocument(" {} \n").has_value());
    for (const char* text :
         {"{} {}", "{}x", "\xef\xbb\xbf{}x", "[\"\xc0\xaf\"]", "[\"\\ud800\"]", "[01]", "[NaN]"})
        EXPECT_FALSE(parseDocument(text).has_value()) << text;
    auto error = parseDocument("{\"a\":");
    ASSERT_FALSE(error.has_value());
    EXPECT_EQ(error.error().description.rfind("The given data was not valid JSON.", 0), 0u);
}

TEST(URLParsing, AbsoluteURLsOnly) {
    EXPECT_TRUE(isParsableURL("https://downloads.velmora.example/a/b.zip?x=1"));
    EXPECT_TRUE(isParsableURL("http://127.0.0.1:8080/"));
    EXPECT_FALSE(isParsableURL("/just/a/path"));
    EXPECT_FALSE(isParsableURL("https://exa\nmple.com/"));
    EXPECT_FALSE(isParsableURL(std::string_view("https://a.example/\0", 19)));
}

}  // namespace
}  // namespace velmora::kit::jsoncodec
