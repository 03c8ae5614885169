#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/Subprocess.h"

using velmora::testing::ProcessOptions;
using velmora::testing::ProcessResult;
using velmora::testing::readFile;
using velmora::testing::runProcess;
using velmora::testing::TemporaryDirectory;
using velmora::testing::writeFile;

namespace {

const std::string kVersionLine = std::string("Velmora Helper ") + VELMORA_PROJECT_VERSION + " (" +
                                 std::to_string(VELMORA_BUILD_NUMBER) + "), protocol 2\n";
const std::string kAlertLine =
    "Velmora Helper is managed from Velmora \xE2\x80\xBA Settings \xE2\x80\xBA Local Shell. There is nothing "
    "to do "
    "here.\n";

std::string unknownLine(const std::string& argument) {
    return "Unknown argument " + argument + ". Use --install, --register, --uninstall, or --version.\n";
}

class EntryPoint : public ::testing::Test {
  protected:
    ProcessResult run(const std::vector<std::string>& arguments,
                      std::map<std::string, std::string> extra = {},
                      const std::filesystem::path& executable = VELMORA_HELPER_EXECUTABLE) {
        ProcessOptions options;
        options.environment = {{"HOME", home.path().string()}, {"PATH", "/usr/bin:/bin"}};
        for (auto& [k, v] : extra) options.environment[k] = v;
        return runProcess(executable, arguments, options);
    }
    TemporaryDirectory home;
};

TEST_F(EntryPoint, VersionPrintsOneLineOnStandardOutputOnly) {
    for (auto args :
         {std::vector<std::string>{"--version"}, std::vector<std::string>{"--version", "--install", "x"}}) {
        auto r = run(args);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.standardOutput, kVersionLine);
        EXPECT_EQ(r.standardError, "");
    }
    // The service-manager variable does not turn an option into a service start.
    auto r = run({"--version"}, {{"XPC_SERVICE_NAME", "com.norwick.VelmoraHelper"}});
    EXPECT_EQ(r.standardOutput, kVersionLine);
}

TEST_F(EntryPoint, UnknownArgumentsExit64WithTheUsageLine) {
    for (std::string arg : {"--VERSION", "-version", "version", "", "--help", "--serve=1", " --version"}) {
        auto r = run({arg, "--version"});
        EXPECT_EQ(r.exitStatus, 64) << arg;
        EXPECT_EQ(r.standardError, unknownLine(arg));
        EXPECT_EQ(r.standardOutput, "");
    }
}

TEST_F(EntryPoint, NoArgumentsOutsideTheInstallLocationShowsTheAlert) {
    for (auto env : {std::map<std::string, std::string>{},
                     std::map<std::string, std::string>{{"XPC_SERVICE_NAME", "com.norwick.Other"}},
                     std::map<std::string, std::string>{{"XPC_SERVICE_NAME", "com.norwick.velmorahelper"}},
                     std::map<std::string, std::string>{{"XPC_SERVICE_NAME", ""}}}) {
        auto r = run({}, env);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.standardError, kAlertLine);
        EXPECT_EQ(r.standardOutput, "");
    }
}

}  // namespace
