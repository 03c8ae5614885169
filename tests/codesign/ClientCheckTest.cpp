// The running helper and clients in bundles: unsigned, signed for another application, signed as a
// host application. Only the last is served; the others are accepted and ended before their call.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "tests/helper/ServiceTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

TEST(ClientCheck, HelperServesOnlyClientsSignedAsAHostApplication) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening());
    TemporaryDirectory scratch;
    struct Case {
        const char* name;
        bool inBundle;
        std::optional<std::string> identifier;
        size_t padding;
        std::string refusal;  // empty: served
    };
    const Case cases[] = {
        {"Loose", false, std::nullopt, 0, "does not lie in a bundle"},
        {"Unsigned", true, std::nullopt, 0, "The bundle is not signed."},
        {"Other", true, "com.example.Other", 0,
         "The signature does not satisfy the Velmora Helper requirement (-1301)."},
        // Large enough that its call arrives while the bundle is still being hashed: held, then answered.
        {"Host", true, "com.norwick.Velmora", 64 << 20, ""},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::path bundle = scratch.path() / (std::string(test.name) + ".app");
        fs::path executable =
            test.inBundle ? bundle / "Contents/MacOS/velmora-shell" : scratch.path() / test.name;
        fs::create_directories(executable.parent_path());
        fs::copy_file(VELMORA_SHELL_TOOL, executable);
        if (test.padding != 0)
            writeFile(bundle / "Contents/Resources/padding", std::string(test.padding, 'p'));
        if (test.identifier) {
            auto signed_ = runProcess(VELMORA_CODESIGN_TOOL,
                                      {"sign", "--identifier", *test.identifier, bundle.string()});
            ASSERT_EQ(signed_.exitStatus, 0) << signed_.standardError;
        }
        auto info = runProcess(executable, {"info", "--json", "--socket", helper.socketPath()});
        if (test.refusal.empty()) {
            EXPECT_EQ(info.exitStatus, 0) << info.standardError;
            EXPECT_NE(info.standardOutput.find("\"processIdentifier\":" + std::to_string(helper.pid())),
                      std::string::npos);
            continue;
        }
        EXPECT_NE(info.exitStatus, 0);
        EXPECT_EQ(info.standardOutput, "");
        // Refused with the reason, then its session went like any other connection's; the helper may
        // log its end a moment after the client has gone.
        std::string log, pid, reason;
        std::regex refused("Ending connection from pid=([0-9]+): peer requirement not met: ([^\n]*)");
        for (int attempt = 0; attempt < 250; ++attempt) {
            log = helper.log();
            for (std::sregex_iterator it(log.begin(), log.end(), refused), end; it != end; ++it)
                if ((*it)[2].str().find((test.inBundle ? bundle : executable).string()) != std::string::npos)
                    std::tie(pid, reason) = std::pair((*it)[1].str(), (*it)[2].str());
            if (!pid.empty() && log.find("Connection from pid=" + pid + " ended") != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_FALSE(pid.empty()) << log;
        EXPECT_NE(reason.find(test.refusal), std::string::npos) << reason;
        EXPECT_NE(log.find("Connection from pid=" + pid + " ended"), std::string::npos);
        if (test.identifier) {
            auto verified = runProcess(
                VELMORA_CODESIGN_TOOL,
                {"verify", "--requirement", "identifier \"com.norwick.Velmora\"", bundle.string()});
            EXPECT_EQ(verified.exitStatus, 1);
            EXPECT_EQ(verified.standardError, bundle.string() + ": " + test.refusal + "\n");
        }
    }
    EXPECT_TRUE(helper.running());
}

}  // namespace
}  // namespace velmora::testing
