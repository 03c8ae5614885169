#include "kit/ShellMessages.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <unordered_set>

#include "kit/HelperInfo.h"

namespace velmora::kit {
namespace {

template <typename T>
std::string encodedText(const T& value) {
    auto bytes = value.encoded();
    EXPECT_TRUE(bytes.has_value()) << bytes.error().description;
    return bytes.value_or("");
}

ShellLaunchRequest plainRequest() {
    return ShellLaunchRequest{.columns = 80, .rows = 24, .loginShell = true, .environment = {}};
}

TEST(ShellLaunchRequestJSON, WritesOnlyPresentFieldsCompactlyInFieldOrder) {
    EXPECT_EQ(encodedText(plainRequest()), R"({"columns":80,"rows":24,"loginShell":true,"environment":{}})");

    ShellLaunchRequest full{
        .columns = -3,
        .rows = 9223372036854775807,
        .workingDirectory = "/home/u/a dir",
        .shellPath = "/bin/zsh",
        .loginShell = false,
        .environment = {{"ZED", "last"}, {"ALPHA", "first"}, {"MID", "\"quoted\"/slash"}},
        .terminalProgramVersion = "3.1.0",
    };
    EXPECT_EQ(
        encodedText(full),
        R"({"columns":-3,"rows":9223372036854775807,"workingDirectory":"/home/u/a dir","shellPath":"/bin/zsh",)"
        R"("loginShell":false,"environment":{"ALPHA":"first","MID":"\"quoted\"/slash","ZED":"last"},)"
        R"("terminalProgramVersion":"3.1.0"})");
}

TEST(ShellLaunchRequestJSON, AbsentAndNullOptionalsReadAlikeAndOrderSpaceAndUnknownKeysDoNotMatter) {
    for (const char* document :
         {R"({"columns":80,"rows":24,"loginShell":true,"environment":{}})",
          R"({"columns":80,"rows":24,"workingDirectory":null,"shellPath":null,"loginShell":true,)"
          R"("environment":{},"terminalProgramVersion":null})",
          " \n{ \"environment\" : {},\t\"extra\":[1,{\"x\":null}], "
          "\"loginShell\":true,\"rows\":24,\"columns\":80 }\r\n"}) {
        auto request = ShellLaunchRequest::decode(document);
        ASSERT_TRUE(request.has_value()) << document << ": " << request.error().description;
        EXPECT_EQ(*request, plainRequest()) << document;
    }
    auto request = ShellLaunchRequest::decode(
        R"({"shellPath":"/bin/sh","environment":{"A":"1"},"loginShell":false,"rows":2,"columns":1})");
    ASSERT_TRUE(request.has_value()) << request.error().description;
    EXPECT_EQ(*request, (ShellLaunchRequest{.columns = 1,
                                            .rows = 2,
                                            .shellPath = "/bin/sh",
                                            .loginShell = false,
                                            .environment = {{"A", "1"}}}));
}

TEST(ShellLaunchRequestJSON, RequiredFieldsHaveNoDefaults) {
    using Kind = DecodingError::Kind;
    const nlohmann::json removed(nlohmann::json::value_t::discarded);
    const std::tuple<const char*, nlohmann::json, Kind> cases[] = {
        {"environment", removed, Kind::keyNotFound},
        {"loginShell", removed, Kind::keyNotFound},
        {"columns", removed, Kind::keyNotFound},
        {"rows", nullptr, Kind::valueNotFound},
        {"environment", nullptr, Kind::valueNotFound},
        {"loginShell", 1, Kind::typeMismatch},
        {"columns", "80", Kind::typeMismatch},
        {"environment", nlohmann::json::array(), Kind::typeMismatch},
        {"environment", {{"A", 1}}, Kind::typeMismatch},
        {"environment", {{"A", nullptr}}, Kind::typeMismatch},
        {"shellPath", 7, Kind::typeMismatch},
    };
    for (const auto& [key, value, kind] : cases) {
        auto document = nlohmann::json::parse(encodedText(plainRequest()));
        if (value.is_discarded())
            document.erase(key);
        else
            document[key] = value;
        auto request = ShellLaunchRequest::decode(document.dump());
        ASSERT_FALSE(request.has_value()) << document.dump();
        EXPECT_EQ(request.error().kind, kind) << document.dump() << ": " << request.error().description;
        EXPECT_FALSE(request.error().description.empty());
    }
    auto missing = ShellLaunchRequest::decode(R"({"columns":80,"rows":24,"loginShell":true})");
    EXPECT_NE(missing.error().description.find("\"environment\""), std::string::npos)
        << missing.error().description;
}

std::string requestWithColumns(const std::string& number) {
    return R"({"columns":)" + number + R"(,"rows":24,"loginShell":true,"environment":{}})";
}

TEST(ShellLaunchRequestJSON, SixtyFourBitIntegersAreCheckedAgainstTheirRange) {
    for (const auto& [accepted, value] :
         std::vector<std::pair<const char*, std::int64_t>>{{"9223372036854775807", INT64_MAX},
                                                           {"-9223372036854775808", INT64_MIN},
                                                           {"0", 0},
                                                           {"-0", 0},
                                                           {"80.0", 80},
                                                           {"8e1", 80}}) {
        auto request = ShellLaunchRequest::decode(requestWithColumns(accepted));
        ASSERT_TRUE(request.has_value()) << accepted << ": " << request.error().description;
        EXPECT_EQ(request->columns, value) << accepted;
    }
    for (const char* rejected :
         {"9223372036854775808", "18446744073709551615", "18446744073709551616", "-9223372036854775809",
          "1.5", "-0.25", "1e300", "9007199254740993.0", "9007199254740992.0"}) {
        auto request = ShellLaunchRequest::decode(requestWithColumns(rejected));
        ASSERT_FALSE(request.has_value()) << rejected;
        EXPECT_EQ(request.error().kind, DecodingError::Kind::dataCorrupted) << rejected;
    }
}

TEST(ShellLaunchRequestJSON, MalformedDocumentsAreErrors) {
    for (const char* document : {"", "{", "{\"columns\":80,}", "nul", "{\"a\":1}}", "[1,2"}) {
        auto request = ShellLaunchRequest::decode(document);
        ASSERT_FALSE(request.has_value()) << document;
        EXPECT_EQ(request.error().kind, DecodingError::Kind::dataCorrupted) << document;
    }
    for (const char* document : {"[]", "null", "\"text\"", "42"}) {
        auto request = ShellLaunchRequest::decode(document);
        ASSERT_FALSE(request.has_value()) << document;
        EXPECT_EQ(request.error().kind, DecodingError::Kind::typeMismatch) << document;
    }
    // A string holding bytes that are not UTF-8.
    std::string invalid = "{\"columns\":80,\"rows\":24,\"loginShell\":true,\"environment\":{\"A\":\"\xff\"}}";
    EXPECT_FALSE(ShellLaunchRequest::decode(invalid).has_value());
}

TEST(ShellLaunchRequestJSON, EveryFieldSurvivesARoundTrip) {
    ShellLaunchRequest request{
        .columns = INT64_MIN,
        .rows = 0,
        .workingDirectory = "",
        .shellPath = "/opt/ünïcödé/sh \u2603",
        .loginShell = false,
        .environment = {{"", ""},
                        {"NUL", std::string("a\0b", 3)},
                        {"LINES", "1\n2\t\"3\"\\"},
                        {"EMOJI", "\U0001F600"}},
        .terminalProgramVersion = "",
    };
    auto bytes = request.encoded();
    ASSERT_TRUE(bytes.has_value());
    auto decoded = ShellLaunchRequest::decode(*bytes);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().description;
    EXPECT_EQ(*decoded, request);
    EXPECT_EQ(std::hash<ShellLaunchRequest>{}(*decoded), std::hash<ShellLaunchRequest>{}(request));
    EXPECT_EQ(decoded->environment.at("NUL").size(), 3u);

    // Text that is not UTF-8 fails to encode instead of throwing.
    request.shellPath = std::string("/bin/\xc3(sh");
    auto invalid = request.encoded();
    ASSERT_FALSE(invalid.has_value());
    EXPECT_FALSE(invalid.error().description.empty());
    request.shellPath.reset();
    request.environment["\xff"] = "value";
    EXPECT_FALSE(request.encoded().has_value());
}

TEST(ShellLaunchRequestValue, EqualityAndHashCoverEveryField) {
    ShellLaunchRequest base = plainRequest();
    base.environment = {{"A", "1"}, {"B", "2"}, {"C", "3"}};
    // The same map built in another order compares and hashes alike.
    ShellLaunchRequest reordered = plainRequest();
    reordered.environment.emplace("C", "3");
    reordered.environment.emplace("A", "1");
    reordered.environment.emplace("B", "2");
    EXPECT_EQ(base, reordered);
    EXPECT_EQ(std::hash<ShellLaunchRequest>{}(base), std::hash<ShellLaunchRequest>{}(reordered));

    std::vector<ShellLaunchRequest> variants(7, base);
    variants[0].columns = 81;
    variants[1].rows = 25;
    variants[2].workingDirectory = "";
    variants[3].shellPath = "/bin/sh";
    variants[4].loginShell = false;
    variants[5].environment["A"] = "2";
    variants[6].terminalProgramVersion = "1";
    std::unordered_set<ShellLaunchRequest> distinct{base};
    for (const auto& variant : variants) {
        EXPECT_NE(variant, base);
        distinct.insert(variant);
    }
    EXPECT_EQ(distinct.size(), 8u);
}

TEST(ShellLaunchResponseJSON, SuccessHasFourMembersAndFailureFive) {
    ShellLaunchResponse success{.processIdentifier = 4242,
                                .ttyPath = "/dev/pts/7",
                                .shellPath = "/bin/bash",
                                .workingDirectory = "/home/u"};
    EXPECT_TRUE(success.succeeded());
    EXPECT_EQ(
        encodedText(success),
        R"({"processIdentifier":4242,"ttyPath":"/dev/pts/7","shellPath":"/bin/bash","workingDirectory":"/home/u"})");

    auto failed = ShellLaunchResponse::failed("x");
    EXPECT_FALSE(failed.succeeded());
    EXPECT_EQ(encodedText(failed),
              R"({"processIdentifier":0,"ttyPath":"","shellPath":"","workingDirectory":"","failure":"x"})");

    for (const auto& response : {success, failed, ShellLaunchResponse::failed("")}) {
        auto decoded = ShellLaunchResponse::decode(encodedText(response));
        ASSERT_TRUE(decoded.has_value()) << decoded.error().description;
        EXPECT_EQ(*decoded, response);
    }
}

TEST(ShellLaunchResponseJSON, ProcessIdentifierMustFitThirtyTwoBits) {
    auto withPid = [](const std::string& pid) {
        return ShellLaunchResponse::decode(
            R"({"processIdentifier":)" + pid +
            R"(,"ttyPath":"","shellPath":"","workingDirectory":"","extra":true})");
    };
    EXPECT_EQ(withPid("2147483647")->processIdentifier, INT32_MAX);
    EXPECT_EQ(withPid("-2147483648")->processIdentifier, INT32_MIN);
    for (const char* rejected : {"2147483648", "-2147483649", "4294967296", "1.5"}) {
        auto response = withPid(rejected);
        ASSERT_FALSE(response.has_value()) << rejected;
        EXPECT_EQ(response.error().kind, DecodingError::Kind::dataCorrupted);
    }
    auto nullFailure = ShellLaunchResponse::decode(
        R"({"processIdentifier":1,"ttyPath":"t","shellPath":"s","workingDirectory":"w","failure":null})");
    ASSERT_TRUE(nullFailure.has_value());
    EXPECT_TRUE(nullFailure->succeeded());
    EXPECT_FALSE(
        ShellLaunchResponse::decode(R"({"processIdentifier":1,"ttyPath":"t","shellPath":"s"})").has_value());
}

HelperInfo sampleInfo() {
    return HelperInfo{.version = {1, 4, 0},
                      .build = 57,
                      .protocolVersion = 2,
                      .bundlePath = "/home/u/.local/share/Velmora/Velmora Helper.app",
                      .processIdentifier = 777,
                      .loginShell = "/bin/bash",
                      .userName = "u"};
}

TEST(HelperInfoJSON, WritesEveryFieldInOrderAndReadsItBack) {
    EXPECT_EQ(encodedText(sampleInfo()),
              R"({"version":"1.4.0","build":57,"protocolVersion":2,)"
              R"("bundlePath":"/home/u/.local/share/Velmora/Velmora Helper.app","processIdentifier":777,)"
              R"("loginShell":"/bin/bash","userName":"u"})");
    auto decoded = HelperInfo::decode(encodedText(sampleInfo()));
    ASSERT_TRUE(decoded.has_value()) << decoded.error().description;
    EXPECT_EQ(*decoded, sampleInfo());
    EXPECT_EQ(std::hash<HelperInfo>{}(*decoded), std::hash<HelperInfo>{}(sampleInfo()));
}

TEST(HelperInfoJSON, VersionFieldUsesTheVersionTextForm) {
    const std::string rest =
        R"(,"build":1,"protocolVersion":2,"bundlePath":"/b","processIdentifier":1,"loginShell":"/bin/sh","userName":"u"})";
    auto shortVersion = HelperInfo::decode(R"({"version":" 2 )"
                                           "\\n\"" +
                                           rest);
    ASSERT_TRUE(shortVersion.has_value()) << shortVersion.error().description;
    EXPECT_EQ(shortVersion->version, (HelperVersion{2, 0, 0}));
    EXPECT_EQ(encodedText(*shortVersion).rfind(R"({"version":"2.0.0","build":1,)", 0), 0u);

    auto badText = HelperInfo::decode(R"({"version":"v1.2")" + rest);
    ASSERT_FALSE(badText.has_value());
    EXPECT_EQ(badText.error().description, "Invalid version string v1.2.");

    auto number = HelperInfo::decode(R"({"version":1)" + rest);
    ASSERT_FALSE(number.has_value());
    EXPECT_EQ(number.error().kind, DecodingError::Kind::typeMismatch);

    auto object = HelperInfo::decode(R"({"version":{"major":1,"minor":0,"patch":0})" + rest);
    EXPECT_FALSE(object.has_value());
}

TEST(HelperInfoJSON, EveryFieldIsRequired) {
    auto full = nlohmann::json::parse(encodedText(sampleInfo()));
    for (const auto& [key, value] : full.items()) {
        auto without = full;
        without.erase(key);
        auto decoded = HelperInfo::decode(without.dump());
        ASSERT_FALSE(decoded.has_value()) << key;
        EXPECT_EQ(decoded.error().kind, DecodingError::Kind::keyNotFound) << key;
        auto nulled = full;
        nulled[key] = nullptr;
        EXPECT_EQ(HelperInfo::decode(nulled.dump()).error().kind, DecodingError::Kind::valueNotFound) << key;
    }
    auto bigPid = full;
    bigPid["processIdentifier"] = 3000000000LL;
    EXPECT_FALSE(HelperInfo::decode(bigPid.dump()).has_value());
}

}  // namespace
}  // namespace velmora::kit
