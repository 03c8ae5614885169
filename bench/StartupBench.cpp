// Exec until the first reply, and idle memory, of the built helper against a dynamic C++ program.
//  - exec -> exit: `--version` against the floor program exiting at once;
//  - exec -> first reply: systemd-socket-activate holds the helper's socket and execs the helper on the
//    first connection, whose info call is timed from connect to reply (as the first call after login);
//  - idle memory: the helper's VmRSS and Pss a second after that reply, against the floor waiting on epoll.
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
    return 0;
}
