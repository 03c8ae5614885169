// The built client run inside a bubblewrap sandbox laid out as Flatpak lays out an application: its
// bundle at /app, a private /tmp and runtime directory into which only the helper's socket is bound.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/helper/ServiceTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

const std::string kAppBundle = "/app/Velmora Shell.app";
const std::string kAppExecutable = kAppBundle + "/Contents/MacOS/velmora-shell";

// bwrap's arguments for a sandbox whose runtime directory holds nothing but the helper's socket.
std::vector<std::string> sandbox(const HelperProcess& helper, const std::vector<std::string>& extra) {
    std::string runtime = "/run/user/" + std::to_string(::getuid());
    std::vector<std::string> arguments = {
        "--unshare-pid", "--unshare-ipc", "--unshare-net", "--die-with-parent", "--clearenv", "--tmpfs", "/",
        "--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc", "--symlink", "usr/bin", "/bin", "--symlink",
        "usr/lib", "/lib", "--symlink", "usr/lib64", "/lib64", "--dev", "/dev", "--proc", "/proc", "--tmpfs",
        "/tmp", "--ro-bind", fs::path(VELMORA_SHELL_TOOL).parent_path().parent_path().parent_path(),
        kAppBundle, "--dir", runtime, "--bind", helper.socketPath(),
        runtime + "/group.com.norwick.Velmora.helper", "--setenv", "XDG_RUNTIME_DIR", runtime, "--setenv",
        "HOME", "/tmp", "--setenv", "container", "bwrap",
        // What the sandbox's own plumbing looks like inside: meaningless on the host.
        "--setenv", "XDG_DATA_DIRS", "/app/share:/usr/share", "--setenv", "DISPLAY", ":99.0", "--setenv",
        "LANGUAGE", "xx_velmora"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
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
    fs::copy_file(VELMORA_SHELL_TOOL, modified);
    std::string bytes = readFile(modified);
    writeFile(modified, bytes + "tail");
    ::chmod(modified.c_str(), 0755);
    // Lets nobody reach the socket at all: the helper's own check is what is under test.
    for (const auto& directory : {helper.runtimeDirectory(), helper.runtimeDirectory().parent_path()})
        ASSERT_EQ(::chmod(directory.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(helper.socketPath().c_str(), 0666), 0);
    ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);

    struct stat hostRoot {};
    ASSERT_EQ(::stat("/", &hostRoot), 0);
    // Typed into the shell; an expansion's result is told from the echoed line by its digits.
    const std::string commands =
        "echo \"ROOT=$(stat -Lc %d:%i /proc/$$/root) APP=$(test -e /app && echo 1 || echo 0)\"\n"
        "echo \"VARS=${XDG_DATA_DIRS}|${DISPLAY}|${LANGUAGE}|\"\n";

    struct Case {
        const char* name;
        std::vector<std::string> prefix;  // run before bwrap
        std::vector<std::string> bwrap;   // extra sandbox arguments
        std::vector<std::string> client;  // velmora-shell's arguments
        std::string refused;              // empty: served
    };
    const std::vector<Case> cases = {
        {"Info", {}, {}, {"info", "--json"}, ""},
        {"Shell", {}, {}, {"--shell", "/bin/sh", "--no-login"}, ""},
        {"ModifiedExecutable",
         {},
         {"--ro-bind", modified, kAppExecutable},
         {"info", "--json"},
         kAppBundle + ": \"Contents/MacOS/velmora-shell\" was modified"},
        {"AnotherUser",
         {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
         {"--unshare-user", "--uid", "1234"},
         {"info", "--json"},
         "peer runs as user 65534"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<std::string> command = test.prefix;
        command.push_back("/usr/bin/bwrap");
        auto arguments = sandbox(helper, test.bwrap);
        command.insert(command.end(), arguments.begin(), arguments.end());
        command.push_back(kAppExecutable);
        command.insert(command.end(), test.client.begin(), test.client.end());
        command.insert(command.begin(), {"-c", "printf %s \"$0\" | exec \"$@\"", commands});
        auto run = runProcess("/bin/sh", command);
        if (!test.refused.empty()) {
            EXPECT_NE(run.exitStatus, 0);
            EXPECT_EQ(run.standardOutput, "");
            EXPECT_NE(refusal(helper, test.refused), "") << helper.log();
            continue;
        }
        ASSERT_EQ(run.exitStatus, 0) << run.standardError << helper.log();
        if (test.client.front() == "info") {
            EXPECT_NE(run.standardOutput.find("\"processIdentifier\":" + std::to_string(helper.pid())),
                      std::string::npos);
            continue;
        }
        // The shell runs on the host, where /app does not exist; the sandbox's plumbing stayed behind,
        // the person's language came along.
        std::smatch root, vars;
        ASSERT_TRUE(
            std::regex_search(run.standardOutput, root, std::regex("ROOT=([0-9]+:[0-9]+) APP=([01])")))
            << run.standardOutput;
        EXPECT_EQ(root[1].str(), std::to_string(hostRoot.st_dev) + ":" + std::to_string(hostRoot.st_ino));
        EXPECT_EQ(fs::exists("/app"), root[2].str() == "1");
        ASSERT_TRUE(
            std::regex_search(run.standardOutput, vars, std::regex("VARS=([^|$]*)\\|([^|$]*)\\|([^|$]*)\\|")))
            << run.standardOutput;
        EXPECT_EQ(vars[1].str().find("/app"), std::string::npos);
        EXPECT_NE(vars[2].str(), ":99.0");
        EXPECT_EQ(vars[3].str(), "xx_velmora");
    }
    EXPECT_TRUE(helper.running());
}

}  // namespace
}  // namespace velmora::testing
