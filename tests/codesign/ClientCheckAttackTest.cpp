// Programs of the same user that try to borrow a signed client's admission: code preloaded into it from
// a folder the user can write, a tracer, a call queued before exec-ing it, another process that holds
// its admitted socket.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
    const struct {
        const char* name;
        std::vector<std::string> tracer;
        std::map<std::string, std::string> environment;
        std::string refusal;  // empty: served
    } cases[] = {
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
        std::vector<std::string> command = test.tracer;
        for (auto argument : {shell.string(), std::string("info"), std::string("--json"),
                              std::string("--socket"), helper.socketPath()})
            command.push_back(argument);
        auto info = runProcess(command.front(), {command.begin() + 1, command.end()}, options);
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

// A program that connects with a signed client whose bundle seals something huge, and goes: the helper
// stops hashing for it, rather than keeping the check's thread for the whole file.
TEST(ClientCheckAttack, AClientThatHangsUpStopsTheHashingOfItsBundle) {
    HelperProcess helper;
    ASSERT_TRUE(helper.waitUntilListening());
    TemporaryDirectory scratch;
    const fs::path huge = scratch.path() / "Host.app/Contents/Resources/huge";
    fs::create_directories(huge.parent_path());
    std::ofstream(huge).close();
    fs::resize_file(huge, 1LL << 30);
    const fs::path shell = signedShell(scratch.path());
    const std::uint64_t before = bytesReadBy(helper.pid());
    pid_t client = ::fork();
    if (client == 0) {
        int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, STDOUT_FILENO), ::dup2(devNull, STDERR_FILENO);
        ::execl(shell.c_str(), shell.c_str(), "info", "--socket", helper.socketPath().c_str(), nullptr);
        ::_exit(127);
    }
    // Gone once the hashing is under way.
    for (int attempt = 0; attempt < 2000 && bytesReadBy(helper.pid()) - before < (64u << 20); ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(client, SIGKILL);
    ::waitpid(client, nullptr, 0);
    std::string log = logOnceItHas(helper, "the client hung up before its check ended");
    EXPECT_NE(log.find("the client hung up before its check ended"), std::string::npos) << log;
    // The connection ends at once; the check's thread reads on until it notices, or to the end.
    std::uint64_t read = bytesReadBy(helper.pid()), last = 0;
    for (int attempt = 0; attempt < 40 && read != last; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        last = std::exchange(read, bytesReadBy(helper.pid()));
    }
    EXPECT_LT(read - before, 512u << 20);
}

// While the helper is stopped, connections wait in its backlog: the connecting process has become the
// signed client by the time the helper looks at it.
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

// The connecting process execs the signed client, which the helper checks and admits; what else speaks
// on that connection was never checked.
TEST(ClientCheckAttack, NothingButTheAdmittedClientSpeaksOnItsConnection) {
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
    enum class Speaker { itselfBeforeExec, childKeptAcrossFork, thiefWithPidfdGetfd };
    const struct {
        const char* name;
        Speaker speaker;
        std::string ending;  // followed by the other process's pid, when there is one
    } cases[] = {
        {"CallQueuedBeforeExec", Speaker::itselfBeforeExec, "it sent a packet before it was admitted"},
        {"KeptAcrossFork", Speaker::childKeptAcrossFork, "a packet came from pid="},
        {"TakenWithPidfdGetfd", Speaker::thiefWithPidfdGetfd, "a packet came from pid="},
    };
    struct Report {
        int socket = -1;   // the connecting process's number for its socket
        pid_t other = -1;  // the child that kept it
    };
    // Waits for "rpc.accepted" as the signed client would, then calls; the helper's log tells whether
    // the call came after the admission ("a packet came from") or before it.
    auto speak = [&](int socket) {
        char reply[4096];
        ssize_t length = ::recv(socket, reply, sizeof reply, 0);
        if (length > 0 && std::string(reply, length).find("rpc.accepted") != std::string::npos)
            (void)::send(socket, packet.data(), packet.size(), MSG_NOSIGNAL);
        ::_exit(0);
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        int pipeEnds[2];
        ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
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
                if (test.speaker == Speaker::itselfBeforeExec &&
                    ::send(mine.socket, packet.data(), packet.size(), MSG_NOSIGNAL) < 0)
                    ::_exit(11);
                if (test.speaker == Speaker::childKeptAcrossFork && (mine.other = ::fork()) == 0)
                    speak(mine.socket);
                if (::write(pipeEnds[1], &mine, sizeof mine) != sizeof mine) ::_exit(12);
                ::execl(program.c_str(), "velmora-shell", "update", manifest.c_str(), "--socket",
                        socketPath.c_str(), nullptr);
                ::_exit(13);
            }
            ASSERT_EQ(::read(pipeEnds[0], &report, sizeof report), static_cast<ssize_t>(sizeof report));
            ASSERT_TRUE(waitUntilAsleepIn(client, shell));
        }
        if (test.speaker == Speaker::thiefWithPidfdGetfd && (report.other = ::fork()) == 0) {
            int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, client, 0));
            int socket = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, report.socket, 0));
            if (socket >= 0) speak(socket);
            ::_exit(1);
        }
        std::string ending = "Ending connection from pid=" + std::to_string(client) + ": " + test.ending;
        if (report.other > 0) ending += std::to_string(report.other);
        std::string log = logOnceItHas(helper, ending);
        ::kill(client, SIGKILL);
        if (report.other > 0) ::kill(report.other, SIGKILL);
        ::waitpid(client, nullptr, 0);
        if (test.speaker == Speaker::thiefWithPidfdGetfd) ::waitpid(report.other, nullptr, 0);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        EXPECT_NE(log.find(ending), std::string::npos) << log;
    }
    EXPECT_FALSE(fs::exists(marker)) << readFile(marker);
    EXPECT_TRUE(helper.running());
}

}  // namespace
}  // namespace velmora::testing
