// Memory of the served helper around bursts of connections: the built bundle started with --serve in a
// throw-away home and runtime directory; its resident set when idle, with N connections open (each has
// had its info call answered), and after they have all left, as ratios against the idle figure.
//
//   bench_connection_memory [connections] [rounds]

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ServedHelper.h"
#include "platform/UniqueFd.h"

namespace fs = std::filesystem;
using Fd = velmora::platform::UniqueFd;
namespace bench = velmora::bench;

namespace {

const char* const kRequest = R"({"jsonrpc":"2.0","id":1,"method":"fetchHelperInfoWithReply:","params":[]})";

Fd connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    Fd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return {};
    return socket;
}

// Connects and has one info call answered; an invalid descriptor on any failure.
Fd connectAndAskInfo(const std::string& path) {
    Fd socket = connectTo(path);
    if (!socket.valid()) return {};
    char reply[4096];
    // The helper admits the connection before it reads a call.
    if (::recv(socket.get(), reply, sizeof reply, 0) <= 0 ||
        ::send(socket.get(), kRequest, std::strlen(kRequest), MSG_NOSIGNAL) < 0 ||
        ::recv(socket.get(), reply, sizeof reply, 0) <= 0)
        return {};
    return socket;
}

// The helper has taken in every close once its descriptor table is back to `count`.
bool waitForDescriptors(pid_t pid, size_t count) {
    for (int i = 0; i < 1000; ++i) {
        if (bench::descriptorCount(pid) <= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const int connections = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

    bench::raiseDescriptorLimit();
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < static_cast<rlim_t>(connections) + 64) {
        std::fprintf(stderr, "descriptor limit %ju too low for %d connections\n",
                     static_cast<uintmax_t>(limit.rlim_cur), connections);
        return 1;
    }

    const std::string executable = VELMORA_HELPER_EXECUTABLE;
    bench::ServedHelper served(executable);
    const pid_t helper = served.pid();
    const std::string socketPath = served.socketPath();
    bool listening = false;
    for (int i = 0; i < 500 && !listening; ++i) {
        listening = connectTo(socketPath).valid();
        if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // One call first, so that what the first connection sets up once counts as idle.
    Fd warmUp = connectAndAskInfo(socketPath);
    if (!listening || !warmUp.valid()) {
        std::fprintf(stderr, "the helper at %s did not answer\n", executable.c_str());
        return 1;
    }
    warmUp.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t idleDescriptors = bench::descriptorCount(helper);
    const double idle = bench::statusField(helper, "VmRSS") / 1024.0;
    std::printf("helper: %s\nconnections per burst: %d, rounds: %d\n", executable.c_str(), connections,
                rounds);
    std::printf("idle RSS: %.1f MiB\n", idle);

    for (int round = 1; round <= rounds; ++round) {
        std::vector<Fd> open;
        open.reserve(static_cast<size_t>(connections));
        for (int i = 0; i < connections; ++i) {
            open.push_back(connectAndAskInfo(socketPath));
            if (!open.back().valid()) {
                std::fprintf(stderr, "connection %d failed: %s\n", i, std::strerror(errno));
                return 1;
            }
        }
        const double busy = bench::statusField(helper, "VmRSS") / 1024.0;
        open.clear();
        if (!waitForDescriptors(helper, idleDescriptors)) {
            std::fprintf(stderr, "the helper did not let go of the connections\n");
            return 1;
        }
        // Whatever the helper does once the last connection has gone has happened by now.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const double after = bench::statusField(helper, "VmRSS") / 1024.0;
        std::printf(
            "round %d: RSS with %d connections open: %.1f MiB (%.2fx idle, %.1f KiB per connection); "
            "after they left: %.1f MiB (%.2fx idle, %+.1f MiB)\n",
            round, connections, busy, busy / idle, (busy - idle) * 1024.0 / connections, after, after / idle,
            after - idle);
    }
    return 0;
}
