// velmora-shell as a person meets it: inside a real tmux, with a helper it starts itself, and the update
// commands against the helper of this build.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kit/HelperInfo.h"
#include "tests/helper/ServiceTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
const fs::path kTool = VELMORA_SHELL_TOOL;

// A tmux server on its own socket whose one pane runs `command` with `environment`. (Not its pane's exit
// status: tmux 3.3a can miss a pane's SIGCHLD while it waits for another child of its own.)
class Tmux {
  public:
    Tmux(std::map<std::string, std::string> environment, const std::string& command)
        : environment_(std::move(environment)) {
        writeFile(scratch_.path() / "tmux.conf", "set -g remain-on-exit on\n");
        tmux({"-f", (scratch_.path() / "tmux.conf").string(), "new-session", "-d", "-x", "100", "-y", "30",
              command});
    }
    ~Tmux() { tmux({"kill-server"}); }
    ProcessResult tmux(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"-S", (scratch_.path() / "socket").string()});
        return runProcess("/usr/bin/tmux", arguments, {.environment = environment_});
    }
    std::string show(const std::string& format) {
        return tmux({"display-message", "-p", format}).standardOutput;
    }
    // Waits until the pane (or `format`) shows `needle`; what it showed last.
    std::string waitFor(const std::string& needle, const std::string& format = "") {
        std::string shown;
        for (int i = 0; i < 200 && shown.find(needle) == std::string::npos; ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            shown = format.empty() ? tmux({"capture-pane", "-p", "-J", "-S", "-100"}).standardOutput
                                   : show(format);
        }
        return shown;
    }

  private:
    TemporaryDirectory scratch_;
    std::map<std::string, std::string> environment_;
};

// The state letter of the shell's `sleep 1234` (from /proc), or 0 while there is none.
char sleepState() {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        if (readFile(entry.path() / "cmdline") != std::string("sleep\0001234\0", 11)) continue;
        auto stat = readFile(entry.path() / "stat");
        auto close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size()) return stat[close + 2];
    }
    return 0;
}

TEST(VelmoraShellInTmux, BehavesLikeALocalShell) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening()) << helper.log();
    TemporaryDirectory scratch;
    writeFile(scratch.path() / "page", "first-line-of-the-page\n");
    Tmux tmux({{"PATH", "/usr/bin:/bin"},
               {"XDG_RUNTIME_DIR", helper.runtimeDirectory()},
               {"DISPLAY", ":42"},
               {"LC_TIME", "C"},
               {"HOME", scratch.path()}},
              "sh -c '\"" + kTool.string() + "\" --shell /bin/bash --no-login --cwd " +
                  scratch.path().string() + "; echo exit-status=$?'");
    // Each step: a tmux command, keys typed (tmux key names), then what the pane (or a tmux format) must
    // come to show, and the state ('S' running, 'T' stopped) the shell's `sleep 1234` must reach.
    struct Step {
        std::vector<std::string> keys;
        std::string shows;
        std::string format = "";
        char sleep = 0;
        std::vector<std::string> command = {};
    };
    const std::vector<Step> steps = {
        {{"PS1='$ '; echo d=$DISPLAY.$LC_TIME.$PWD.$TERM_PROGRAM.", "Enter"},
         "d=:42.C." + scratch.path().string() + ".tmux."},
        {{"stty size", "Enter"}, "30 100"},
        // The new size travels client → helper → terminal after the window changed: wait for it.
        {{"for i in 1 2 3 4 5 6 7 8 9 10; do s=$(stty size); [ \"$s\" = '40 120' ] && break; sleep 0.3; done;"
          " echo size=$s.",
          "Enter"},
         "size=40 120.",
         "",
         0,
         {"resize-window", "-x", "120", "-y", "40"}},
        {{"less page", "Enter"}, "1", "#{alternate_on}"},
        {{}, "first-line-of-the-page"},
        {{"q"}, "0", "#{alternate_on}"},
        {{"sleep 1234", "Enter"}, "", "", 'S'},
        {{"C-c", "echo interrupted=$?", "Enter"}, "interrupted=130"},
        {{"sleep 1234", "Enter"}, "", "", 'S'},
        {{"C-z"}, "Stopped", "", 'T'},
        {{"fg", "Enter"}, "sleep 1234\n", "", 'S'},
        {{"C-c", "echo after-fg=$?", "Enter"}, "after-fg=130"},
        {{"exit 3", "Enter"}, "exit-status=3"},
    };
    for (const auto& step : steps) {
        if (!step.command.empty()) tmux.tmux(step.command);
        std::vector<std::string> send{"send-keys"};
        send.insert(send.end(), step.keys.begin(), step.keys.end());
        if (!step.keys.empty()) tmux.tmux(send);
        auto shown = tmux.waitFor(step.shows, step.format);
        ASSERT_NE(shown.find(step.shows), std::string::npos) << step.shows << " in:\n"
                                                             << shown << helper.log();
        for (int i = 0; step.sleep != 0 && i < 200 && sleepState() != step.sleep; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (step.sleep != 0) {
            ASSERT_EQ(sleepState(), step.sleep) << step.keys.front();
        }
    }
}

TEST(VelmoraShellWithoutARunningHelper, StartsTheBuildsHelperOrSaysWhyNot) {
    TemporaryDirectory scratch;
    fs::create_directories(scratch.path() / "run");
    fs::permissions(scratch.path() / "run", fs::perms::owner_all);
    std::map<std::string, std::string> environment{{"XDG_RUNTIME_DIR", (scratch.path() / "run").string()},
                                                   {"HOME", scratch.path().string()}};
    auto started = runProcess(kTool, {"info", "--json"}, {.environment = environment});
    ASSERT_EQ(started.exitStatus, 0) << started.standardError;
    auto info = kit::HelperInfo::decode(started.standardOutput);
    ASSERT_TRUE(info) << started.standardOutput;
    EXPECT_EQ(fs::canonical(info->bundlePath), fs::canonical(fs::path(VELMORA_BUNDLE_DIR)));
    // Detached: a session of its own, no longer tied to the client that started it.
    EXPECT_EQ(::getsid(info->processIdentifier), info->processIdentifier);
    auto again = runProcess(kTool, {"info", "--json"}, {.environment = environment});
    EXPECT_EQ(again.standardOutput, started.standardOutput);

    // Cancelling with no update running, and manifests refused before connecting.
    writeFile(scratch.path() / "broken.json", "{\"schemaVersion\":");
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string error;
    } commands[] = {
        {{"cancel-update"}, 0, ""},
        {{"update", "/nonexistent.json"}, 66, "cannot read the manifest /nonexistent.json: No such file or"},
        {{"update", (scratch.path() / "broken.json").string()}, 65, "is not a release manifest: "},
    };
    for (const auto& command : commands) {
        auto result = runProcess(kTool, command.arguments, {.environment = environment});
        EXPECT_EQ(result.exitStatus, command.status) << command.arguments.front() << result.standardError;
        if (command.status == 0) continue;
        EXPECT_TRUE(result.standardError.starts_with("velmora-shell: ")) << result.standardError;
        EXPECT_NE(result.standardError.find(command.error), std::string::npos) << result.standardError;
    }
    ::kill(info->processIdentifier, SIGTERM);
    EXPECT_TRUE(waitForProcessGone(info->processIdentifier, std::chrono::seconds(5)));

    // A client with no helper beside it and none installed.
    auto alone = scratch.path() / "Alone.app/Contents/MacOS/velmora-shell";
    fs::create_directories(alone.parent_path());
    fs::copy_file(kTool, alone);
    auto missing = runProcess(alone, {"info"}, {.environment = environment});
    EXPECT_EQ(missing.exitStatus, 69);
    EXPECT_NE(missing.standardError.find("no helper listens at "), std::string::npos)
        << missing.standardError;
}

// Copies of this build's client and helper side by side in `apps`: the client starts that helper only
// when no one else could have put it there, and only in a runtime directory closed to others.
TEST(VelmoraShellWithoutARunningHelper, StartsOnlyAHelperItCanTrust) {
    const fs::path shellBundle = kTool.parent_path().parent_path().parent_path();
    using Prepare = std::function<void(const fs::path& apps, const fs::path& run)>;
    const struct {
        const char* name;
        Prepare prepare;
        std::string error;  // empty: the copy beside the client serves
    } cases[] = {
        {"ordinary", [](auto&, auto&) {}, ""},
        {"unsigned", [](auto& a, auto&) { fs::remove_all(a / "Velmora Helper.app/Contents/_CodeSignature"); },
         "refusing to start the helper "},
        {"folder others can write", [](auto& a, auto&) { fs::permissions(a, fs::perms::all); },
         "apps can be written by others"},
        {"folder of another user", [](auto& a, auto&) { ASSERT_EQ(::chown(a.c_str(), 65534, 65534), 0); },
         "apps belongs to uid 65534"},
        {"runtime directory open to others", [](auto&, auto& r) { fs::permissions(r, fs::perms::all); },
         "refusing to use XDG_RUNTIME_DIR: "},
        {"start lock is a link",
         [](auto& a, auto& r) {
             fs::create_symlink(a / "x", r / "group.com.norwick.Velmora.helper.starting");
         },
         "cannot open the start lock "},
        {"start lock held for ever",
         [](auto&, auto& r) {
             static platform::UniqueFd held;
             held =
                 platform::UniqueFd(::creat((r / "group.com.norwick.Velmora.helper.starting").c_str(), 0600));
             ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
         },
         "has held the start lock "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory scratch;
        auto apps = scratch.path() / "apps", run = scratch.path() / "run";
        fs::create_directories(run);
        fs::permissions(run, fs::perms::owner_all);
        fs::create_directory(apps);
        for (const auto& bundle : {shellBundle, fs::path(VELMORA_BUNDLE_DIR)})
            ASSERT_EQ(runProcess("/bin/cp", {"-a", bundle.string(), apps.string()}).exitStatus, 0);
        c.prepare(apps, run);
        auto result = runProcess(apps / shellBundle.filename() / "Contents/MacOS" / kTool.filename(),
                                 {"info", "--json"},
                                 {.environment = {{"XDG_RUNTIME_DIR", run}, {"HOME", scratch.path()}}});
        auto info = kit::HelperInfo::decode(result.standardOutput);
        if (info) ::kill(info->processIdentifier, SIGTERM);
        EXPECT_EQ(result.exitStatus, c.error.empty() ? 0 : 69) << result.standardError;
        EXPECT_NE(result.standardError.find(c.error), std::string::npos) << result.standardError;
        EXPECT_EQ(info ? info->bundlePath : "",
                  c.error.empty() ? (apps / "Velmora Helper.app").string() : "");
    }
}

}  // namespace
}  // namespace velmora::testing
