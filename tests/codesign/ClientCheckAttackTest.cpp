// Programs of the same user that try to borrow a signed client's admission: a call queued before
// exec-ing the signed client, code preloaded into it from a folder the user can write, a tracer.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "kit/ShellMessages.h"
#include "kit/xpc/Base64.h"
#include "tests/helper/ServiceTestSupport.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

// velmora-shell in a bundle of its own, signed as the host application.
fs::path signedShell(const fs::path& scratch) {
    fs::path executable = scratch / "Host.app/Contents/MacOS/velmora-shell";
    fs::create_directories(executable.parent_path());
    fs::copy_file(VELMORA_SHELL_TOOL, executable);
    auto signed_ = runProcess(VELMORA_CODESIGN_TOOL, {"sign", "--identifier", "com.norwick.Velmora",
                                                      (scratch / "Host.app").string()});
    EXPECT_EQ(signed_.exitStatus, 0) << signed_.standardError;
    return executable;
}

// The helper's log once it holds `needle`, or everything it logged in ten seconds.
std::string logOnceItHas(const HelperProcess& helper, const std::string& needle) {
    std::string log;
    for (int attempt = 0; attempt < 500; ++attempt) {
        log = helper.log();
        if (log.find(needle) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return log;
}

TEST(ClientCheckAttack, SignedClientRunningForeignCodeOrTracedIsRefused) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening());
    TemporaryDirectory scratch;
    const fs::path shell = signedShell(scratch.path());
    const std::string system = "/usr/lib/x86_64-linux-gnu/libresolv.so.2";
    const fs::path writable = scratch.path() / "writable";
    fs::create_directories(writable);
    fs::permissions(writable, fs::perms::all);
    fs::copy_file(system, writable / "libresolv.so.2");
    struct Case {
        const char* name;
        std::vector<std::string> tracer;
        std::map<std::string, std::string> environment;
        std::string refusal;  // empty: served
    };
    const Case cases[] = {
        {"Plain", {}, {}, ""},
        {"SystemLibraryPreloaded", {}, {{"LD_PRELOAD", system}}, ""},
        {"WritableLibraryPreloaded",
         {},
         {{"LD_PRELOAD", (writable / "libresolv.so.2").string()}},
         "executable mapping "},
        {"Traced", {"/usr/bin/strace", "-f", "-o", "/dev/null"}, {}, "it is traced by pid"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        ProcessOptions options;
        options.environment = test.environment;
        options.environment["PATH"] = "/usr/bin:/bin";
        std::vector<std::string> arguments(test.tracer.begin() + (test.tracer.empty() ? 0 : 1),
                                           test.tracer.end());
        for (std::string argument : {shell.string(), std::string("info"), std::string("--json"),
                                     std::string("--socket"), helper.socketPath()})
            arguments.push_back(argument);
        fs::path program = test.tracer.empty() ? fs::path(arguments.front()) : fs::path(test.tracer.front());
        if (test.tracer.empty()) arguments.erase(arguments.begin());
        auto info = runProcess(program, arguments, options);
        if (test.refusal.empty()) {
            EXPECT_EQ(info.exitStatus, 0) << info.standardError << helper.log();
            EXPECT_NE(info.standardOutput.find("\"processIdentifier\":" + std::to_string(helper.pid())),
                      std::string::npos);
            continue;
        }
        EXPECT_NE(info.exitStatus, 0);
        EXPECT_EQ(info.standardOutput, "");
        std::string log = logOnceItHas(helper, test.refusal);
        EXPECT_NE(log.find("peer requirement not met: "), std::string::npos) << log;
        EXPECT_NE(log.find(test.refusal), std::string::npos) << log;
    }
    EXPECT_NE(helper.log().find((writable / "libresolv.so.2").string()), std::string::npos);
}

TEST(ClientCheckAttack, CallQueuedBeforeExecOfTheSignedClientIsNeverServed) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening());
    TemporaryDirectory scratch;
    const fs::path shell = signedShell(scratch.path());
    const fs::path fifo = scratch.path() / "manifest";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The "shell" the queued call asks for leaves a mark when the helper starts it.
    const fs::path marker = scratch.path() / "served";
    const fs::path script = scratch.path() / "mark.sh";
    writeFile(script, "#!/bin/sh\necho served >> '" + marker.string() + "'\n");
    fs::permissions(script, fs::perms::owner_all);
    kit::ShellLaunchRequest launch{80, 24, std::nullopt, script.string(), false, {}, std::nullopt};
    const std::string packet = R"({"jsonrpc":"2.0","id":1,"method":"openShell:reply:","params":[")" +
                               kit::xpc::base64Encode(launch.encoded().value()) + R"("]})";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, helper.socketPath().c_str(), sizeof(address.sun_path) - 1);
    const std::string manifest = fifo.string(), socketPath = helper.socketPath(), program = shell.string();
    for (int attempt = 0; attempt < 30; ++attempt) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Kept across exec: the signed client inherits the connection with the call in it, and
            // waits for a manifest nobody writes.
            int socket = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
            if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                ::send(socket, packet.data(), packet.size(), MSG_NOSIGNAL) < 0)
                ::_exit(10);
            ::execl(program.c_str(), "velmora-shell", "update", manifest.c_str(), "--socket",
                    socketPath.c_str(), nullptr);
            ::_exit(11);
        }
        std::string ending = "Ending connection from pid=" + std::to_string(child) + ": ";
        std::string log = logOnceItHas(helper, ending);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ASSERT_NE(log.find(ending), std::string::npos) << log;
    }
    EXPECT_FALSE(fs::exists(marker)) << readFile(marker);
    EXPECT_TRUE(helper.running());
}

}  // namespace
}  // namespace velmora::testing
