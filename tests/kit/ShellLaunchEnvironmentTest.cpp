#include "kit/ShellLaunchEnvironment.h"

#include <gtest/gtest.h>

namespace velmora::kit {
namespace {

namespace env = ShellLaunchEnvironment;

const env::Variables kHelperEnvironment{{"PATH", "/opt/helper/bin"},
                                        {"HOME", "/wrong/home"},
                                        {"LANG", "C"},
                                        {"TERM", "dumb"},
                                        {"TMPDIR", "/var/helper-tmp"},
                                        {"SSH_AUTH_SOCK", "/run/agent"},
                                        {"__CF_USER_TEXT_ENCODING", "0x1F5:0:0"},
                                        {"XPC_SERVICE_NAME", "com.norwick.VelmoraHelper"},
                                        {"EDITOR", "ed"}};

env::Variables build(const env::Variables& inherited, const env::Variables& additional,
                     std::optional<std::string> temporaryDirectory = std::nullopt,
                     std::optional<std::string> version = std::nullopt) {
    return env::makeEnvironment("/home/ada", "ada", "/bin/zsh", temporaryDirectory, "de_CH.UTF-8", version,
                                inherited, additional);
}

TEST(ShellLaunchEnvironmentTest, OnlyTwoInheritedVariablesPassThrough) {
    auto result = build(kHelperEnvironment, {});
    EXPECT_EQ(result, (env::Variables{{"SSH_AUTH_SOCK", "/run/agent"},
                                      {"__CF_USER_TEXT_ENCODING", "0x1F5:0:0"},
                                      {"HOME", "/home/ada"},
                                      {"USER", "ada"},
                                      {"LOGNAME", "ada"},
                                      {"SHELL", "/bin/zsh"},
                                      {"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"},
                                      {"LANG", "de_CH.UTF-8"},
                                      {"TERM", "xterm-256color"},
                                      {"COLORTERM", "truecolor"},
                                      {"TERM_PROGRAM", "Velmora"}}));
}

TEST(ShellLaunchEnvironmentTest, CountsWithAndWithoutTheOptionalEntries) {
    auto full = build(kHelperEnvironment, {}, "/tmp/ada", "2.0");
    EXPECT_EQ(full.size(), 13U);
    EXPECT_EQ(full.at("TMPDIR"), "/tmp/ada");
    EXPECT_EQ(full.at("TERM_PROGRAM_VERSION"), "2.0");
    EXPECT_EQ(full.at("USER"), full.at("LOGNAME"));

    auto bare = build({{"PATH", "/x"}}, {}, "", "");
    EXPECT_EQ(bare.size(), 9U);
    EXPECT_FALSE(bare.contains("TMPDIR"));
    EXPECT_FALSE(bare.contains("TERM_PROGRAM_VERSION"));
}

TEST(ShellLaunchEnvironmentTest, RequestedVariablesWinExceptTheDroppedNames) {
    auto result = build(kHelperEnvironment, {{"PATH", "/custom"},
                                             {"XPC_FLAGS", "0x1"},
                                             {"MallocNanoZone", "0"},
                                             {"DYLD_INSERT_LIBRARIES", "/evil.so"},
                                             {"XPC_SERVICE_NAME", "x"},
                                             {"SSH_AUTH_SOCK", "/other/agent"},
                                             {"TERM_PROGRAM", "Other"},
                                             {"HOME", "/elsewhere"},
                                             {"EMPTY", ""},
                                             {"xpc_flags", "lower case is another name"}});
    EXPECT_EQ(result.at("PATH"), "/custom");
    EXPECT_EQ(result.at("SSH_AUTH_SOCK"), "/other/agent");
    EXPECT_EQ(result.at("TERM_PROGRAM"), "Other");
    EXPECT_EQ(result.at("HOME"), "/elsewhere");
    EXPECT_EQ(result.at("EMPTY"), "");
    EXPECT_EQ(result.at("xpc_flags"), "lower case is another name");
    for (const auto& dropped : env::droppedInheritedVariables())
        EXPECT_FALSE(result.contains(dropped)) << dropped;
    EXPECT_EQ(env::droppedInheritedVariables().size(), 4U);
}

TEST(ShellLaunchEnvironmentTest, NamesThatCannotBeVariablesAreRefused) {
    // "XPC_FLAGS=1" as a name would reach the shell as XPC_FLAGS.
    auto result = build({}, {{"XPC_FLAGS=1", "x"},
                             {"", "empty name"},
                             {std::string("A\0B", 3), "x"},
                             {"NUL", std::string("a\0b", 3)},
                             {"OK", "fine"}});
    EXPECT_EQ(result.size(), 10U);
    EXPECT_EQ(result.at("OK"), "fine");
}

TEST(ShellLaunchEnvironmentTest, ArgumentZero) {
    EXPECT_EQ(env::loginArgumentZero("/bin/zsh"), "-zsh");
    EXPECT_EQ(env::loginArgumentZero("/usr/local/bin/fish"), "-fish");
    EXPECT_EQ(env::loginArgumentZero("/usr/local/bin/fish//"), "-fish");
    EXPECT_EQ(env::executableName("/bin/bash"), "bash");
}

TEST(ShellLaunchEnvironmentTest, LanguageValue) {
    EXPECT_EQ(env::languageValue({}), "en_US.UTF-8");
    EXPECT_EQ(env::languageValue({"", "CH"}), "en_US.UTF-8");
    EXPECT_EQ(env::languageValue({"en", ""}), "en.UTF-8");
    EXPECT_EQ(env::languageValue({"fr", std::nullopt}), "fr.UTF-8");
    EXPECT_EQ(env::languageValue({"de", "CH"}), "de_CH.UTF-8");
}

TEST(ShellLaunchEnvironmentTest, LocaleNamesKeepOnlyLanguageAndRegion) {
    EXPECT_EQ(env::Locale::fromPosixName("de_CH.UTF-8@euro"), (env::Locale{"de", "CH"}));
    EXPECT_EQ(env::Locale::fromPosixName("fr"), (env::Locale{"fr", std::nullopt}));
    EXPECT_EQ(env::Locale::fromPosixName("zh_TW.Big5"), (env::Locale{"zh", "TW"}));
    EXPECT_EQ(env::Locale::fromPosixName("C.UTF-8"), env::Locale{});
    EXPECT_EQ(env::Locale::fromPosixName("POSIX"), env::Locale{});
    EXPECT_EQ(env::languageValue(env::Locale::fromPosixName("sr_RS@latin")), "sr_RS.UTF-8");
}

}  // namespace
}  // namespace velmora::kit
