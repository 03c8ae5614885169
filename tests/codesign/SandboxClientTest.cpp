// The built client run inside a bubblewrap sandbox laid out as Flatpak lays out an application: its
// bundle at /app, a private /tmp and runtime directory into which only the helper's socket is bound.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "codesign/ProcessRoot.h"
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

// Whether the helper has logged `needle` (it may log a connection's end a moment after the client went).
bool logged(const HelperProcess& helper, const std::string& needle) {
    for (int attempt = 0; attempt < 250;
         ++attempt, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (helper.log().find(needle) != std::string::npos) return true;
    return false;
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
            EXPECT_TRUE(logged(helper, test.refused)) << helper.log();
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

// A process that runs until this goes, with its standard output on `output`.
struct Running {
    pid_t pid = -1;
    platform::UniqueFd output;
    ~Running() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

std::unique_ptr<Running> start(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return nullptr;
    auto running = std::make_unique<Running>();
    running->output.reset(out[0]);
    if ((running->pid = ::fork()) == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    return running;
}

// Where the helper sees a file that a sandboxed process sees: through the mount that shows it there,
// confirmed by the file itself; nothing for a file of the sandbox's own, a path through a link, or a
// file other than the one named.
TEST(SandboxClient, HostPathOfWhatTheSandboxSees) {
    auto words = sandbox(
        "/usr/bin/bwrap --die-with-parent --tmpfs / --ro-bind /usr /usr --symlink usr/bin /bin --symlink "
        "usr/lib /lib --symlink usr/lib64 /lib64 --proc /proc --tmpfs /tmp --ro-bind @BUNDLE@ @APP@ "
        "sh -c",
        {{"@BUNDLE@", fs::path(VELMORA_SHELL_TOOL).parent_path().parent_path().parent_path()},
         {"@APP@", kApp}});
    words.push_back("echo > /tmp/own; echo $$; exec sleep 60");
    auto sandboxed = start(words);
    ASSERT_TRUE(sandboxed);
    pid_t pid = std::atoi(readUntil(sandboxed->output.get(), "\n").c_str());
    ASSERT_GT(pid, 0);
    fs::path tool = fs::canonical(VELMORA_SHELL_TOOL);
    const std::pair<fs::path, std::optional<fs::path>> cases[] = {
        {kApp + "/Contents/MacOS/velmora-shell", tool},
        {"/usr/bin/sleep", "/usr/bin/sleep"},
        {"/tmp/own", std::nullopt},
        {"/bin/sleep", std::nullopt}};
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        struct stat seen {};
        ASSERT_EQ(::stat(("/proc/" + std::to_string(pid) + "/root" + path.string()).c_str(), &seen), 0);
        EXPECT_EQ(codesign::hostPath(pid, path, seen.st_dev, seen.st_ino), expected);
        EXPECT_EQ(codesign::hostPath(pid, path, seen.st_dev, seen.st_ino + 1), std::nullopt);
    }
    struct stat own {};
    ASSERT_EQ(::stat(tool.c_str(), &own), 0);
    EXPECT_EQ(codesign::hostPath(::getpid(), tool, own.st_dev, own.st_ino), tool);
}

}  // namespace
}  // namespace velmora::testing
