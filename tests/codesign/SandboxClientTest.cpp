// The built client run inside a bubblewrap sandbox laid out as Flatpak lays out an application: its
// bundle at /app, a private /tmp and runtime directory into which only the helper's socket is bound.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

const std::string kApp = "/app/Velmora Shell.app";
const std::string kExe = kApp + "/Contents/MacOS/velmora-shell";
const fs::path kBundle = fs::canonical(VELMORA_SHELL_TOOL).parent_path().parent_path().parent_path();

// A sandbox of the bundle, /usr and /etc (what the sandbox's plumbing looks like inside is meaningless
// on the host), whose runtime directory holds nothing but the helper's socket; its arguments follow.
constexpr const char* kSandbox =
    R"(r=/run/user/$(id -u); printf %s "$INPUT" | exec $AS bwrap --unshare-pid --unshare-ipc --unshare-net \
  --die-with-parent --clearenv --tmpfs / --ro-bind /usr /usr --ro-bind /etc /etc --symlink usr/bin /bin \
  --symlink usr/lib /lib --symlink usr/lib64 /lib64 --dev /dev --proc /proc --tmpfs /tmp \
  --ro-bind "$BUNDLE" "/app/Velmora Shell.app" --perms 0700 --dir $r --bind "$SOCKET" $r/group.com.norwick.Velmora.helper \
  --setenv XDG_RUNTIME_DIR $r --setenv HOME /tmp --setenv container bwrap --setenv DISPLAY :99.0 \
  --setenv XDG_DATA_DIRS /app/share:/usr/share --setenv LANGUAGE xx_velmora "$@")";

TEST(SandboxClient, ServedThroughItsOwnRootUnlessItRunsOtherCodeOrIsAnotherUser) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening());
    TemporaryDirectory scratch;
    fs::path modified = scratch.path() / "velmora-shell";
    writeFile(modified, readFile(VELMORA_SHELL_TOOL) + "tail");
    // A system library, but in a folder the user can write on the host, preloaded inside the sandbox.
    fs::path library = scratch.path() / "libresolv.so.2";
    fs::copy_file("/usr/lib/x86_64-linux-gnu/libresolv.so.2", library);
    // Lets nobody reach the socket and the copy at all: the helper's own check is what is under test.
    for (const auto& path :
         {helper.runtimeDirectory(), helper.runtimeDirectory().parent_path(), scratch.path()})
        ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(helper.socketPath().c_str(), 0666) | ::chmod(modified.c_str(), 0755) |
                  ::chmod(library.c_str(), 0755),
              0);
    struct stat root {};
    ASSERT_EQ(::stat("/", &root), 0);
    // Typed into the shell: it runs on the host, where /app does not exist; the sandbox's plumbing stays
    // behind (the helper's fresh environment has neither), the person's language comes along.
    std::string input =
        "echo \"ROOT=$(stat -Lc %d:%i /proc/$$/root) APP=$(test -e /app && echo 1 || echo 0) "
        "VARS=${XDG_DATA_DIRS}|${DISPLAY}|${LANGUAGE}|\"\n";
    std::string onHost = "ROOT=" + std::to_string(root.st_dev) + ":" + std::to_string(root.st_ino) +
                         " APP=" + (fs::exists("/app") ? "1" : "0") + " VARS=||xx_velmora|";

    // Not a socket: connecting to it is refused, as when no helper listens.
    fs::path noSocket = scratch.path() / "no-socket";
    writeFile(noSocket, "");
    const fs::path helperBundle =
        fs::canonical(VELMORA_HELPER_EXECUTABLE).parent_path().parent_path().parent_path();

    enum class Ends { served, refusedByHelper, refusedByClient };
    struct Case {
        const char* name;
        std::string as;  // runs bwrap
        std::vector<std::string> arguments;
        std::string expected;  // in the output when served, in the helper's log or the client's error
        Ends ends;
        std::string socket;
    };
    const Case cases[] = {
        {"Info",
         "",
         {kExe, "info", "--json"},
         "\"processIdentifier\":" + std::to_string(helper.pid()),
         Ends::served},
        {"Shell", "", {kExe, "--shell", "/bin/sh", "--no-login"}, onHost, Ends::served},
        {"ModifiedExecutable",
         "",
         {"--ro-bind", modified, kExe, kExe, "info"},
         kApp + " (seen here as " + kBundle.string() + "): \"Contents/MacOS/velmora-shell\" was modified",
         Ends::refusedByHelper},
        {"PreloadedFromAWritableFolder",
         "",
         {"--ro-bind", scratch.path(), "/opt/lib", "--setenv", "LD_PRELOAD", "/opt/lib/libresolv.so.2", kExe,
          "info"},
         "its user can replace " + library.string(),
         Ends::refusedByHelper},
        {"AnotherUser",
         "setpriv --reuid=65534 --regid=65534 --clear-groups",
         {"--unshare-user", "--uid", "1234", kExe, "info"},
         "peer runs as user 65534",
         Ends::refusedByHelper},
        // A helper beside the client, as in the build tree, but no socket: a helper started here would
        // open its shells inside.
        {"NoSocketShared",
         "",
         {"--ro-bind", helperBundle, "/app/" + helperBundle.filename().string(), kExe, "info"},
         "inside a sandbox this client starts none",
         Ends::refusedByClient,
         noSocket},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<std::string> arguments = {"-c", kSandbox, "sandbox"};
        arguments.insert(arguments.end(), test.arguments.begin(), test.arguments.end());
        auto run = runProcess(
            "/bin/sh", arguments,
            {.environment = {{"PATH", "/usr/bin:/bin"},
                             {"INPUT", input},
                             {"AS", test.as},
                             {"BUNDLE", kBundle},
                             {"SOCKET", test.socket.empty() ? helper.socketPath() : test.socket}}});
        if (test.ends == Ends::served) {
            EXPECT_EQ(run.exitStatus, 0) << run.standardError << helper.log();
            EXPECT_NE(run.standardOutput.find(test.expected), std::string::npos) << run.standardOutput;
            continue;
        }
        EXPECT_NE(run.exitStatus, 0);
        EXPECT_EQ(run.standardOutput, "");
        if (test.ends == Ends::refusedByClient) {
            EXPECT_EQ(run.exitStatus, 69);
            EXPECT_NE(run.standardError.find(test.expected), std::string::npos) << run.standardError;
            continue;
        }
        // The helper may log the connection's end a moment after the client has gone.
        for (int attempt = 0; attempt < 250 && helper.log().find(test.expected) == std::string::npos;
             ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_NE(helper.log().find(test.expected), std::string::npos) << helper.log();
    }
}

}  // namespace
}  // namespace velmora::testing
