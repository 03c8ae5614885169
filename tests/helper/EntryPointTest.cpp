// The built executable started by hand: what each start prints and its exit status.

#include <gtest/gtest.h>

#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

TEST(EntryPoint, EachStartPrintsItsLineAndExitStatus) {
    const std::string version = std::string("Velmora Helper ") + VELMORA_PROJECT_VERSION + " (" +
                                std::to_string(VELMORA_BUILD_NUMBER) + "), protocol 2\n";
    const std::string alert =
        "Velmora Helper is managed from Velmora \xE2\x80\xBA Settings \xE2\x80\xBA Local "
        "Shell. There is nothing to do here.\n";
    const std::string unknown = ". Use --install, --register, --uninstall, or --version.\n";
    struct Case {
        std::vector<std::string> arguments;
        std::string serviceName;  // XPC_SERVICE_NAME, when not empty
        int status;
        std::string output, error;
    };
    const Case cases[] = {
        {{"--version"}, "", 0, version, ""},
        // The service manager's variable does not turn an option into a service start.
        {{"--version"}, "com.norwick.VelmoraHelper", 0, version, ""},
        {{"--VERSION", "--version"}, "", 64, "", "Unknown argument --VERSION" + unknown},
        // Started by hand outside the install location, or under another service's name.
        {{}, "", 0, "", alert},
        {{}, "com.norwick.velmorahelper", 0, "", alert},
    };
    TemporaryDirectory home;
    for (const auto& c : cases) {
        ProcessOptions options{.environment = {{"HOME", home.path().string()}, {"PATH", "/usr/bin:/bin"}}};
        if (!c.serviceName.empty()) options.environment["XPC_SERVICE_NAME"] = c.serviceName;
        auto result = runProcess(VELMORA_HELPER_EXECUTABLE, c.arguments, options);
        EXPECT_EQ(result.exitStatus, c.status) << c.arguments.size();
        EXPECT_EQ(result.standardOutput, c.output);
        EXPECT_EQ(result.standardError, c.error);
    }
    // What only updates need is opened when they first need it; every start pays for what is linked.
    auto linked = runProcess("/usr/bin/readelf", {"-d", VELMORA_HELPER_EXECUTABLE}).standardOutput;
    ASSERT_NE(linked.find("(NEEDED)"), std::string::npos) << linked;
    for (const char* library : {"libcurl", "libarchive", "libsystemd"})
        EXPECT_EQ(linked.find(library), std::string::npos) << library;
}

}  // namespace
}  // namespace velmora::testing
