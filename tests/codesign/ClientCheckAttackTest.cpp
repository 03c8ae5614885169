// Programs of the same user that try to borrow a signed client's admission: a call queued before
// exec-ing the signed client, a process that holds the signed client's admitted socket, code preloaded into
// it from a folder the user can write, a tracer.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
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

// An openShell call whose "shell" leaves a mark in `marker` when the helper starts it.
std::string markingOpenShell(const fs::path& scratch, const fs::path& marker) {
    const fs::path script = scratch / "mark.sh";
    writeFile(script, "#!/bin/sh\necho served >> '" + marker.string() + "'\n");
    fs::permissions(script, fs::perms::owner_all);
    kit::ShellLaunchRequest launch{80, 24, std::nullopt, script.string(), false, {}, std::nullopt};
    return R"({"jsonrpc":"2.0","id":1,"method":"openShell:reply:","params":[")" +
           kit::xpc::base64Encode(launch.encoded().value()) + R"("]})";
}

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
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
    const fs::path marker = scratch.path() / "served";
    const std::string packet = markingOpenShell(scratch.path(), marker);
    const sockaddr_un address = addressOf(helper.socketPath());
    const std::string manifest = fifo.string(), socketPath = helper.socketPath(), program = shell.string();
    for (int attempt = 0; attempt < 30; ++attempt) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Kept across exec: the signed client inherits the connection with the call in it, and
            // waits for a manifest nobody writes.
            int socket = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
            if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
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

// Everything the helper is asked while stopped waits in its backlog, so the connecting process has
// become the signed client by the time the helper looks at it.
struct StoppedHelper {
    explicit StoppedHelper(pid_t helper) : pid(helper) { ::kill(pid, SIGSTOP); }
    ~StoppedHelper() { ::kill(pid, SIGCONT); }
    pid_t pid;
};

// True once `pid` runs `executable` and sleeps (in the open of a FIFO nobody writes).
bool waitUntilAsleepIn(pid_t pid, const fs::path& executable) {
    const std::string proc = "/proc/" + std::to_string(pid);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::error_code error;
        std::string state;
        std::getline(std::ifstream(proc + "/stat") >> std::ws, state);
        if (fs::read_symlink(proc + "/exe", error) == executable && state.find(") S ") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(ClientCheckAttack, AnotherProcessHoldingTheAdmittedSocketCannotSpeak) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening());
    TemporaryDirectory scratch;
    const fs::path shell = signedShell(scratch.path());
    const fs::path fifo = scratch.path() / "manifest";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path marker = scratch.path() / "served";
    const std::string packet = markingOpenShell(scratch.path(), marker);
    const sockaddr_un address = addressOf(helper.socketPath());
    const std::string manifest = fifo.string(), program = shell.string(), socketPath = helper.socketPath();
    // How the other process comes by the socket: a child keeps it across the fork after which the
    // connecting parent execs the signed client, or a stranger takes it from the signed client.
    const struct {
        const char* name;
        bool takenWithPidfdGetfd;
    } cases[] = {{"KeptAcrossFork", false}, {"TakenWithPidfdGetfd", true}};
    enum Outcome : char { silenced, notAdmitted, served, broken };
    struct Report {
        int socket = -1;   // the connecting process's number for its socket
        pid_t other = -1;  // the child that kept it, when there is one
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        int pipeEnds[2];
        ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
        // Waits for "rpc.accepted" as the signed client's, then sends the call; reports what followed.
        auto speak = [&](int socket) {
            timeval limit{20, 0};
            ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            char reply[4096];
            ssize_t length = ::recv(socket, reply, sizeof reply, 0);
            Outcome outcome = broken;
            if (length <= 0 || std::string(reply, length).find("rpc.accepted") == std::string::npos)
                outcome = notAdmitted;
            else if (::send(socket, packet.data(), packet.size(), MSG_NOSIGNAL) >= 0)
                outcome = (length = ::recv(socket, reply, sizeof reply, 0)) == 0 ? silenced
                          : length > 0                                           ? served
                                                                                 : broken;
            (void)!::write(pipeEnds[1], &outcome, 1);
            ::_exit(0);
        };
        Report report;
        pid_t client = -1;
        {
            StoppedHelper stopped(helper.pid());
            client = ::fork();
            ASSERT_GE(client, 0);
            if (client == 0) {
                Report mine{::socket(AF_UNIX, SOCK_SEQPACKET, 0), -1};
                if (::connect(mine.socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                    ::_exit(10);
                if (!test.takenWithPidfdGetfd && (mine.other = ::fork()) == 0) speak(mine.socket);
                if (::write(pipeEnds[1], &mine, sizeof mine) != sizeof mine) ::_exit(11);
                ::execl(program.c_str(), "velmora-shell", "update", manifest.c_str(), "--socket",
                        socketPath.c_str(), nullptr);
                ::_exit(12);
            }
            ASSERT_EQ(::read(pipeEnds[0], &report, sizeof report), static_cast<ssize_t>(sizeof report));
            ASSERT_TRUE(waitUntilAsleepIn(client, shell));
        }
        if (test.takenWithPidfdGetfd) {
            report.other = ::fork();
            ASSERT_GE(report.other, 0);
            if (report.other == 0) {
                int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, client, 0));
                int socket = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, report.socket, 0));
                if (socket < 0) ::_exit(1);
                speak(socket);
            }
        }
        pollfd reported{pipeEnds[0], POLLIN, 0};
        Outcome outcome = broken;
        if (::poll(&reported, 1, 60'000) == 1) (void)!::read(pipeEnds[0], &outcome, 1);
        std::string log = logOnceItHas(helper, "from pid=" + std::to_string(report.other));
        ::kill(client, SIGKILL);
        ::waitpid(client, nullptr, 0);
        if (test.takenWithPidfdGetfd) ::waitpid(report.other, nullptr, 0);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        EXPECT_EQ(outcome, silenced) << log;
        EXPECT_NE(log.find("Ending connection from pid=" + std::to_string(client) +
                           ": a packet came from pid=" + std::to_string(report.other)),
                  std::string::npos)
            << log;
    }
    EXPECT_FALSE(fs::exists(marker)) << readFile(marker);
    EXPECT_TRUE(helper.running());
}

}  // namespace
}  // namespace velmora::testing
