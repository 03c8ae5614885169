// Exec until the first reply, and idle memory, of the built helper against a dynamic C++ program.
//  - exec -> exit: `--version` against the floor program exiting at once;
//  - exec -> first reply: systemd-socket-activate holds the helper's socket and execs the helper on the
//    first connection, whose info call is timed from connect to reply (as the first call after login);
//  - idle memory: the helper's VmRSS and Pss a second after that reply, against the floor waiting on epoll;
//  - the same two with the manager's descriptor store, this program standing in for the manager: it
//    passes the listening socket (and the store an earlier run handed over) and execs the helper as it
//    connects, for a client the helper never saw and for one an earlier run verified.
//
//   bench_startup [runs, default 20]

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kRequest = R"({"jsonrpc":"2.0","id":1,"method":"fetchHelperInfoWithReply:","params":[]})";

pid_t spawn(std::vector<std::string> arguments, const std::vector<std::string>& environment) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDIN_FILENO), ::dup2(devNull, STDOUT_FILENO), ::dup2(devNull, STDERR_FILENO);
    std::vector<char*> argv, envp;
    for (auto& argument : arguments) argv.push_back(argument.data());
    for (auto& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
    argv.push_back(nullptr), envp.push_back(nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

double execToExit(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    auto start = Clock::now();
    pid_t pid = spawn(all, {"PATH=/usr/bin:/bin"});
    ::waitpid(pid, nullptr, 0);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// kB of a "Name:" line in a /proc file.
double kilobytes(const std::string& file, const std::string& name) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(name + ":")) return std::strtod(line.c_str() + name.size() + 1, nullptr);
    return -1;
}

// The helper started as the user manager would start it: `listening` as its socket, `store` (when valid)
// as the descriptor store, the manager's notify socket at `notifyPath`.
pid_t spawnManaged(const std::string& helper, int listening, int store, const std::string& notifyPath,
                   const std::vector<std::string>& environment) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDIN_FILENO), ::dup2(devNull, STDOUT_FILENO), ::dup2(devNull, STDERR_FILENO);
    int count = store >= 0 ? 2 : 1;
    // Out of the way first: dup2 onto itself would leave close-on-exec set.
    int movedSocket = ::fcntl(listening, F_DUPFD_CLOEXEC, 10),
        movedStore = ::fcntl(store, F_DUPFD_CLOEXEC, 10);
    ::dup2(movedSocket, 3);
    if (store >= 0) ::dup2(movedStore, 4);
    std::vector<std::string> all = environment;
    all.push_back("LISTEN_PID=" + std::to_string(::getpid()));
    all.push_back("LISTEN_FDS=" + std::to_string(count));
    all.push_back(std::string("LISTEN_FDNAMES=group.com.norwick.Velmora.helper") +
                  (store >= 0 ? ":com.norwick.VelmoraHelper.verifications" : ""));
    if (!notifyPath.empty()) all.push_back("NOTIFY_SOCKET=" + notifyPath);
    all.push_back("XPC_SERVICE_NAME=com.norwick.VelmoraHelper");
    std::vector<char*> envp;
    for (auto& variable : all) envp.push_back(variable.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(helper.c_str()), nullptr};
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
}

// The descriptor of the last FDSTORE=1 datagram waiting on `notify`, -1 for none.
int takeStored(int notify) {
    int stored = -1;
    for (;;) {
        char data[512];
        iovec io{data, sizeof data};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        msghdr header{};
        header.msg_iov = &io, header.msg_iovlen = 1;
        header.msg_control = control, header.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(notify, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0) return stored;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                if (stored >= 0) ::close(stored);
                std::memcpy(&stored, CMSG_DATA(c), sizeof stored);
            }
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    const std::string helper = VELMORA_HELPER_EXECUTABLE, floor = VELMORA_FLOOR_EXECUTABLE;
    std::vector<double> floorExit, versionExit, firstReply;
    for (int i = 0; i < runs; ++i) {
        floorExit.push_back(execToExit(floor, {}));
        versionExit.push_back(execToExit(helper, {"--version"}));
    }

    char scratchTemplate[] = "/tmp/velmora-startup-XXXXXX";
    if (::mkdtemp(scratchTemplate) == nullptr) return 1;
    fs::path scratch = scratchTemplate;
    fs::create_directories(scratch / "home");
    const std::string socketPath = (scratch / "group.com.norwick.Velmora.helper").string();
    const std::vector<std::string> environment{"HOME=" + (scratch / "home").string(),
                                               "XDG_RUNTIME_DIR=" + scratch.string(), "PATH=/usr/bin:/bin"};
    double rss = 0, pss = 0;
    for (int i = 0; i < runs; ++i) {
        fs::remove(socketPath);
        pid_t activator = spawn(
            {"/usr/bin/systemd-socket-activate", "--seqpacket", "-l", socketPath, "-E",
             "XPC_SERVICE_NAME=com.norwick.VelmoraHelper", "-E", "HOME", "-E", "XDG_RUNTIME_DIR", helper},
            environment);
        int socket = -1;
        for (int attempt = 0; attempt < 1000 && socket < 0; ++attempt) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
            socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            auto start = Clock::now();
            if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(socket), socket = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            char reply[4096];
            // The helper admits the connection before it reads a call.
            if (::recv(socket, reply, sizeof reply, 0) <= 0 ||
                ::send(socket, kRequest, std::strlen(kRequest), MSG_NOSIGNAL) < 0 ||
                ::recv(socket, reply, sizeof reply, 0) <= 0) {
                std::fprintf(stderr, "the helper did not answer\n");
                return 1;
            }
            firstReply.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        if (i == runs - 1) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            rss = kilobytes("/proc/" + std::to_string(activator) + "/status", "VmRSS");
            pss = kilobytes("/proc/" + std::to_string(activator) + "/smaps_rollup", "Pss");
        }
        ::close(socket);
        ::kill(activator, SIGKILL);
        ::waitpid(activator, nullptr, 0);
    }

    // With the manager's store: first for a client never seen, then for one the first run verified.
    const std::string notifyPath = (scratch / "notify").string();
    int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un notifyAddress{};
    notifyAddress.sun_family = AF_UNIX;
    std::strncpy(notifyAddress.sun_path, notifyPath.c_str(), sizeof(notifyAddress.sun_path) - 1);
    if (::bind(notify, reinterpret_cast<sockaddr*>(&notifyAddress), sizeof notifyAddress) != 0) return 1;
    // Phases: no store at all (as before), a client never seen, a client verified earlier.
    std::vector<double> replies[3];
    double rememberedRss = 0;
    int store = -1;
    for (int i = 0; i < 3 * runs; ++i) {
        const int phase = i / runs;
        const bool remembered = phase == 2;
        fs::remove(socketPath);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
        int listening = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listening, 16) != 0)
            return 1;
        int socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        auto start = Clock::now();
        pid_t managed = spawnManaged(helper, listening, remembered ? store : -1, phase == 0 ? "" : notifyPath,
                                     environment);
        char reply[4096];
        if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::recv(socket, reply, sizeof reply, 0) <= 0 ||
            ::send(socket, kRequest, std::strlen(kRequest), MSG_NOSIGNAL) < 0 ||
            ::recv(socket, reply, sizeof reply, 0) <= 0) {
            std::fprintf(stderr, "the managed helper did not answer\n");
            ::kill(managed, SIGKILL);
            return 1;
        }
        replies[phase].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (i == 3 * runs - 1) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            rememberedRss = kilobytes("/proc/" + std::to_string(managed) + "/status", "VmRSS");
        }
        ::close(socket), ::close(listening);
        ::kill(managed, SIGKILL);
        ::waitpid(managed, nullptr, 0);
        if (phase == 1) {
            int kept = takeStored(notify);
            if (kept >= 0) {
                if (store >= 0) ::close(store);
                store = kept;
            }
        }
    }
    ::close(notify);
    if (store < 0) std::fprintf(stderr, "the helper kept no store: remembered rows are of a full check\n");

    pid_t idleFloor = spawn({floor, "wait"}, {});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double floorRss = kilobytes("/proc/" + std::to_string(idleFloor) + "/status", "VmRSS");
    double floorPss = kilobytes("/proc/" + std::to_string(idleFloor) + "/smaps_rollup", "Pss");
    ::kill(idleFloor, SIGKILL);
    ::waitpid(idleFloor, nullptr, 0);
    fs::remove_all(scratch);

    std::printf("exec -> exit, --version: %.2f ms vs C++ no-op %.2f ms: %.1fx (medians of %d)\n",
                median(versionExit), median(floorExit), median(versionExit) / median(floorExit), runs);
    std::printf("exec -> first reply (socket activation): %.2f ms vs C++ no-op exec -> exit: %.1fx\n",
                median(firstReply), median(firstReply) / median(floorExit));
    std::printf("idle VmRSS %.1f MiB vs %.1f MiB: %.1fx; Pss %.1f MiB vs %.1f MiB\n", rss / 1024,
                floorRss / 1024, rss / floorRss, pss / 1024, floorPss / 1024);
    std::printf("| exec -> exit, --version (bench_startup) | %.2f ms | %.2f ms | %.1fx | <= 2x |\n",
                median(floorExit), median(versionExit), median(versionExit) / median(floorExit));
    std::printf(
        "| exec -> first reply, socket activation (bench_startup) | %.2f ms | %.2f ms | %.1fx | <= 2x |\n",
        median(floorExit), median(firstReply), median(firstReply) / median(floorExit));
    std::printf("| idle VmRSS (bench_startup) | %.1f MiB | %.1f MiB | %.1fx | <= 4 MiB |\n", floorRss / 1024,
                rss / 1024, rss / floorRss);
    const double unseen = median(replies[1]), remembered = median(replies[2]);
    std::printf(
        "| exec -> first reply, manager's store, client never seen (bench_startup) | %.2f ms | %.2f ms | "
        "%.1fx | no slower than without a store: %.2f ms |\n",
        median(floorExit), unseen, unseen / median(floorExit), median(replies[0]));
    std::printf(
        "| exec -> first reply, manager's store, client verified earlier (bench_startup) | %.2f ms | %.2f ms "
        "| %.1fx | <= 2x |\n",
        median(floorExit), remembered, remembered / median(floorExit));
    std::printf(
        "| idle VmRSS, client verified earlier (bench_startup) | %.1f MiB | %.1f MiB | %.1fx | <= 6 MiB |\n",
        floorRss / 1024, rememberedRss / 1024, rememberedRss / floorRss);
    return 0;
}
