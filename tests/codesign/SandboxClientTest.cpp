// The built client run inside a bubblewrap sandbox laid out as Flatpak lays out an application: its
// bundle at /app, a private /tmp and runtime directory into which only the helper's socket is bound.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <ranges>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/helper/ServiceTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

// A sandbox whose runtime directory holds nothing but the helper's socket, and what the sandbox's own
// plumbing looks like inside (meaningless on the host). Words in @ are filled in by `sandbox`.
constexpr std::string_view kSandbox =
    "bwrap --unshare-pid --unshare-ipc --unshare-net --die-with-parent --clearenv --tmpfs / --ro-bind /usr "
    "/usr --ro-bind /etc /etc --symlink usr/bin /bin --symlink usr/lib /lib --symlink usr/lib64 /lib64 "
    "--dev /dev --proc /proc --tmpfs /tmp --ro-bind @BUNDLE@ @APP@ --dir @RUN@ --bind @SOCKET@ @RUN@/@NAME@ "
    "--setenv XDG_RUNTIME_DIR @RUN@ --setenv HOME /tmp --setenv container bwrap --setenv XDG_DATA_DIRS "
    "/app/share:/usr/share --setenv DISPLAY :99.0 --setenv LANGUAGE xx_velmora";
const std::string kApp = "/app/Velmora Shell.app";

std::vector<std::string> sandbox(std::string_view words, const std::map<std::string, std::string>& values) {
    std::vector<std::string> arguments;
    for (auto word : words | std::views::split(' ')) {
        std::string text(word.begin(), word.end());
        for (const auto& [name, value] : values)
            for (auto at = text.find(name); at != std::string::npos; at = text.find(name))
                text.replace(at, name.size(), value);
        arguments.push_back(text);
    }
    return arguments;
}

// The helper's reason for ending the connection whose log line holds `needle`, once logged.
std::string refusal(const HelperProcess& helper, const std::string& needle) {
    std::regex ending("Ending connection from pid=[0-9]+: ([^\n]*)");
    for (int attempt = 0; attempt < 250; ++attempt) {
        std::string log = helper.log();
        for (std::sregex_iterator it(log.begin(), log.end(), ending), end; it != end; ++it)
            if ((*it)[1].str().find(needle) != std::string::npos) return (*it)[1].str();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
}

TEST(SandboxClient, ServedThroughItsOwnRootUnlessItRunsOtherCodeOrIsAnotherUser) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening());
    TemporaryDirectory scratch;
    fs::path modified = scratch.path() / "velmora-shell";
    writeFile(modified, readFile(VELMORA_SHELL_TOOL) + "tail");
    // Lets nobody reach the socket and the copy at all: the helper's own check is what is under test.
    for (const auto& path :
         {helper.runtimeDirectory(), helper.runtimeDirectory().parent_path(), scratch.path()})
        ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(helper.socketPath().c_str(), 0666) | ::chmod(modified.c_str(), 0755), 0);
    const std::map<std::string, std::string> values = {
        {"@BUNDLE@", fs::path(VELMORA_SHELL_TOOL).parent_path().parent_path().parent_path()},
        {"@APP@", kApp},
        {"@EXE@", kApp + "/Contents/MacOS/velmora-shell"},
        {"@MODIFIED@", modified},
        {"@RUN@", "/run/user/" + std::to_string(::getuid())},
        {"@NAME@", "group.com.norwick.Velmora.helper"},
        {"@SOCKET@", helper.socketPath()}};
    struct stat hostRoot {};
    ASSERT_EQ(::stat("/", &hostRoot), 0);

    struct Case {
        const char* name;
        std::string command;  // bwrap's words, split at blanks
        std::string refused;  // empty: served
    };
    const std::string sandboxed(kSandbox);
    const Case cases[] = {
        {"Info", sandboxed + " @EXE@ info --json", ""},
        {"Shell", sandboxed + " @EXE@ --shell /bin/sh --no-login", ""},
        {"ModifiedExecutable", sandboxed + " --ro-bind @MODIFIED@ @EXE@ @EXE@ info",
         kApp + ": \"Contents/MacOS/velmora-shell\" was modified"},
        {"AnotherUser",
         "setpriv --reuid=65534 --regid=65534 --clear-groups " + sandboxed +
             " --unshare-user --uid 1234 @EXE@ info",
         "peer runs as user 65534"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        // Typed into the shell; an expansion's result differs from the echoed line.
        auto arguments = sandbox(test.command, values);
        arguments.insert(
            arguments.begin(),
            {"-c", "printf %s \"$0\" | exec \"$@\"",
             "echo \"ROOT=$(stat -Lc %d:%i /proc/$$/root) APP=$(test -e /app && echo 1 || echo 0)\"\n"
             "echo \"VARS=${XDG_DATA_DIRS}|${DISPLAY}|${LANGUAGE}|\"\n"});
        auto run = runProcess("/bin/sh", arguments, {.environment = {{"PATH", "/usr/bin:/bin"}}});
        if (!test.refused.empty()) {
            EXPECT_NE(run.exitStatus, 0);
            EXPECT_EQ(run.standardOutput, "");
            EXPECT_NE(refusal(helper, test.refused), "") << helper.log();
            continue;
        }
        ASSERT_EQ(run.exitStatus, 0) << run.standardError << helper.log();
        if (test.command.ends_with("--json")) {
            EXPECT_NE(run.standardOutput.find("\"processIdentifier\":" + std::to_string(helper.pid())),
                      std::string::npos);
            continue;
        }
        // The shell runs on the host, where /app does not exist; the sandbox's plumbing stayed behind
        // (the helper's fresh environment has neither), the person's language came along.
        std::string root = std::to_string(hostRoot.st_dev) + ":" + std::to_string(hostRoot.st_ino);
        EXPECT_NE(run.standardOutput.find("ROOT=" + root + " APP=" + (fs::exists("/app") ? "1" : "0")),
                  std::string::npos)
            << run.standardOutput;
        EXPECT_NE(run.standardOutput.find("VARS=||xx_velmora|"), std::string::npos) << run.standardOutput;
    }
    EXPECT_TRUE(helper.running());
}

}  // namespace
}  // namespace velmora::testing
