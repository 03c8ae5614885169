#include "kit/HelperVersion.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unordered_set>

using velmora::kit::DecodingError;
using velmora::kit::HelperVersion;

namespace {

std::optional<HelperVersion> parse(std::string_view text) {
    return HelperVersion::parse(text);
}

TEST(HelperVersionParsing, AcceptsOneToThreeComponentsWithSurroundingWhitespace) {
    EXPECT_EQ(parse("1.2.3"), (HelperVersion{1, 2, 3}));
    EXPECT_EQ(parse("  1.2.3\n"), (HelperVersion{1, 2, 3}));
    EXPECT_EQ(parse("\t1.2.3\r\n"), (HelperVersion{1, 2, 3}));
    // U+00A0 and U+3000 are white space too.
    EXPECT_EQ(parse("\xC2\xA0"
                    "1.2.3\xE3\x80\x80"),
              (HelperVersion{1, 2, 3}));
    EXPECT_EQ(parse("2"), (HelperVersion{2, 0, 0}));
    EXPECT_EQ(parse("2.1"), (HelperVersion{2, 1, 0}));
    EXPECT_EQ(parse("01.002.3"), (HelperVersion{1, 2, 3}));
    EXPECT_EQ(parse("+1.2.3"), (HelperVersion{1, 2, 3}));
    EXPECT_EQ(parse("-0.1"), (HelperVersion{0, 1, 0}));
    EXPECT_EQ(parse("9223372036854775807.0.0"), (HelperVersion{INT64_MAX, 0, 0}));
    EXPECT_EQ(parse("0000000000000000000000000000001.0.0"), (HelperVersion{1, 0, 0}));
}

TEST(HelperVersionParsing, RejectsEverythingElse) {
    for (const char* text : {"",
                             "   ",
                             "\n\t",
                             "1.2.3.4",
                             "1..3",
                             ".1.2",
                             "1.2.",
                             "v1.2.3",
                             "1.2.3-beta",
                             "1. 2.3",
                             "1.2 .3",
                             "a.2.3",
                             "1.-2.3",
                             "-1",
                             "99999999999999999999.0.0",
                             "9223372036854775808",
                             "++1",
                             "+-1",
                             "+",
                             "-",
                             "1.+",
                             "\xEF\xBC\x91.2.3" /* full-width digit one */}) {
        EXPECT_EQ(parse(text), std::nullopt) << "accepted \"" << text << "\"";
    }
    EXPECT_EQ(parse(std::string_view("1.2\0.3", 6)), std::nullopt);
}

TEST(HelperVersionOrdering, ComparesComponentByComponent) {
    EXPECT_GT(*parse("1.10.0"), *parse("1.9.9"));
    EXPECT_GT(*parse("2.0.0"), *parse("1.99.99"));
    EXPECT_EQ(*parse("1.2.3"), *parse("1.2.3"));
    EXPECT_LT((HelperVersion{-1, 5, 5}), (HelperVersion{0, 0, 0}));
    EXPECT_LE(*parse("1.2.3"), *parse("1.2.3"));
    EXPECT_GE(*parse("1.2.4"), *parse("1.2.3"));
    EXPECT_NE(*parse("1.2.3"), *parse("1.3.2"));
}

TEST(HelperVersionText, WritesDecimalComponentsIncludingNegativeOnes) {
    EXPECT_EQ((HelperVersion{1, 4, 0}).description(), "1.4.0");
    EXPECT_EQ((HelperVersion{-1, 0, INT64_MIN}).description(), "-1.0.-9223372036854775808");
}

TEST(HelperVersionHash, EqualValuesCollapseInASet) {
    std::unordered_set<HelperVersion> set{*parse("1.2"), *parse("1.2.0"), *parse("01.2.0"), *parse("1.2.1")};
    EXPECT_EQ(set.size(), 2u);
}

TEST(HelperVersionJSON, IsAStringThatReencodesCanonically) {
    EXPECT_EQ((HelperVersion{1, 4, 0}).toJSON().dump(), "\"1.4.0\"");
    auto decoded = HelperVersion::fromJSON(nlohmann::json("2"));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->toJSON().dump(), "\"2.0.0\"");
}

TEST(HelperVersionJSON, ReportsUnparsableTextUnchangedAndNonStringsAsTypeMismatch) {
    auto bad = HelperVersion::fromJSON(nlohmann::json(" 1.x "));
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().kind, DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(bad.error().description, "Invalid version string  1.x .");

    auto number = HelperVersion::fromJSON(nlohmann::json(1.4));
    ASSERT_FALSE(number.has_value());
    EXPECT_EQ(number.error().kind, DecodingError::Kind::typeMismatch);
    EXPECT_FALSE(HelperVersion::fromJSON(nlohmann::json::object()).has_value());
    EXPECT_FALSE(HelperVersion::fromJSON(nlohmann::json(nullptr)).has_value());
}

}  // namespace
