// The cost of one helper call over the transport, against a bare SOCK_SEQPACKET ping-pong of the same
// sizes measured in the same run.
//
//   bench_ipc [iterations]

#include <dirent.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit/xpc/VelmoraHelperXPC.h"

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

// An info document whose reply packet is about 250 bytes.
const std::string kInfo =
    R"({"version":"1.4.0","build":57,"protocolVersion":2,)"
    R"("bundlePath":"/home/user/Library/Application Support/Velmora Helper/Velmora Helper.app",)"
    R"("pid":12345})";

class InfoOnly final : public kit::VelmoraHelperXPCProtocol {
  public:
    void fetchHelperInfo(kit::Reply<kit::Blob> reply) override { reply(kInfo); }
    void openShell(kit::Blob, kit::Reply<platform::UniqueFd, kit::Blob> reply) override { reply({}, {}); }
    void resizeShell(std::int32_t, std::int64_t, std::int64_t, kit::Reply<bool> reply) override {
        reply(false);
    }
    void signalShell(std::int32_t, std::int32_t, kit::Reply<bool> reply) override { reply(false); }
    void closeShell(std::int32_t, kit::Reply<> reply) override { reply(); }
    void beginSelfUpdate(kit::Blob, kit::Reply<kit::Blob> reply) override { reply({}); }
    void cancelSelfUpdate(kit::Reply<> reply) override { reply(); }
    void beginUninstall(kit::Reply<kit::Blob> reply) override { reply({}); }
};

[[noreturn]] void serveTransport(int socket) {
    auto connection = kit::xpc::Connection::adopt(platform::UniqueFd(socket));
    if (!connection) std::_Exit(1);
    std::promise<void> ended;
    (*connection)->setExportedInterface(kit::VelmoraHelperXPCInterface::helperInterface());
    (*connection)->setExportedObject<kit::VelmoraHelperXPCProtocol>(std::make_shared<InfoOnly>());
    (*connection)->setInvalidationHandler([&] { ended.set_value(); });
    (*connection)->resume();
    ended.get_future().wait();
    std::_Exit(0);
}

[[noreturn]] void serveRaw(int socket, size_t replySize) {
    std::string reply(replySize, 'r');
    char buffer[4096];
    while (::recv(socket, buffer, sizeof buffer, 0) > 0)
        if (::send(socket, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
    std::_Exit(0);
}

struct Summary {
    double p50 = 0, p99 = 0;
};

Summary summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

// Moves every thread of a process onto one CPU, or back onto all of them (cpu < 0).
void place(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (cpu < 0 ? i < static_cast<int>(std::thread::hardware_concurrency()) : i == cpu) CPU_SET(i, &set);
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* directory = ::opendir(tasks.c_str());
    if (directory == nullptr) return;
    while (dirent* entry = ::readdir(directory))
        if (entry->d_name[0] != '.') (void)::sched_setaffinity(std::atoi(entry->d_name), sizeof set, &set);
    ::closedir(directory);
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 20000;

    // The same request and reply sizes as the transport's call below.
    const std::string request =
        R"({"jsonrpc":"2.0","id":1,"method":"fetchHelperInfoWithReply:","params":[]})";
    const size_t replySize = std::string(R"({"jsonrpc":"2.0","id":1,"result":[""]})").size() +
                             kit::xpc::base64Encode(kInfo).size();

    // Both servers are forked before this process starts its own dispatch threads.
    int rawPair[2], transportPair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, rawPair) != 0 ||
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, transportPair) != 0)
        return 1;
    pid_t rawServer = ::fork();
    if (rawServer == 0) {
        ::close(rawPair[0]);
        ::close(transportPair[0]);
        ::close(transportPair[1]);
        serveRaw(rawPair[1], replySize);
    }
    pid_t transportServer = ::fork();
    if (transportServer == 0) {
        ::close(transportPair[0]);
        ::close(rawPair[0]);
        serveTransport(transportPair[1]);
    }
    ::close(rawPair[1]);
    ::close(transportPair[1]);

    auto connection = kit::xpc::Connection::adopt(platform::UniqueFd(transportPair[0]));
    if (!connection) return 1;
    (*connection)->setRemoteObjectInterface(kit::VelmoraHelperXPCInterface::helperInterface());
    (*connection)->resume();
    auto helper = (*connection)
                      ->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperXPCProtocol>(
                          [](const kit::xpc::ConnectionError& error) {
                              std::fprintf(stderr, "call failed: %s\n", error.description.c_str());
                              std::_Exit(1);
                          });

    std::vector<char> buffer(4096);
    auto rawLoop = [&](int count, std::vector<double>& samples) {
        for (int i = 0; i < count; ++i) {
            auto start = Clock::now();
            if (::send(rawPair[0], request.data(), request.size(), MSG_NOSIGNAL) < 0) std::_Exit(1);
            if (::recv(rawPair[0], buffer.data(), buffer.size(), 0) <= 0) std::_Exit(1);
            samples.push_back(microseconds(Clock::now() - start));
        }
    };
    // The same calls, each made from the previous one's reply block, as the raw client sends again as soon
    // as its read returns: no caller's thread in the loop at all.
    auto chainedLoop = [&](int count, std::vector<double>& samples) {
        std::promise<void> finished;
        int remaining = count;
        Clock::time_point start;
        std::function<void()> call = [&] {
            start = Clock::now();
            helper->fetchHelperInfo(kit::Reply<kit::Blob>([&](kit::Blob info) {
                samples.push_back(microseconds(Clock::now() - start));
                if (!info || info->size() != kInfo.size()) std::_Exit(1);
                if (--remaining == 0)
                    finished.set_value();
                else
                    call();
            }));
        };
        call();
        finished.get_future().wait();
    };
    // A call ends when its reply block runs, on the transport's thread that the reply woke; the caller's
    // thread waking up after that is one more hop, of the caller's choosing, measured apart.
    std::mutex mutex;
    std::condition_variable answered;
    auto callLoop = [&](int count, std::vector<double>& samples, std::vector<double>& waited) {
        for (int i = 0; i < count; ++i) {
            bool done = false;
            size_t length = 0;
            Clock::time_point replied;
            auto start = Clock::now();
            helper->fetchHelperInfo(kit::Reply<kit::Blob>([&](kit::Blob info) {
                replied = Clock::now();
                std::lock_guard lock(mutex);
                length = info ? info->size() : 0;
                done = true;
                answered.notify_one();
            }));
            std::unique_lock lock(mutex);
            answered.wait(lock, [&] { return done; });
            if (length != kInfo.size()) std::_Exit(1);
            samples.push_back(microseconds(replied - start));
            waited.push_back(microseconds(Clock::now() - start));
        }
    };

    // The loops alternate in blocks, so that a noisy neighbour on the machine hits both alike; each
    // figure is the median over the blocks.
    const int blocks = 20;
    const int perBlock = std::max(iterations / blocks, 100);
    std::vector<double> rawP50, rawP99, callP50, callP99, chainP50, chainP99, waitP50, waitP99, ratioP50,
        ratioP99;
    for (int block = -1; block < blocks; ++block) {  // block -1 warms both up
        std::vector<double> raw, call, waited, chained;
        rawLoop(perBlock, raw);
        callLoop(perBlock, call, waited);
        chainedLoop(perBlock, chained);
        if (block < 0) continue;
        auto r = summarise(raw), c = summarise(call), w = summarise(waited), h = summarise(chained);
        rawP50.push_back(r.p50), rawP99.push_back(r.p99), callP50.push_back(c.p50), callP99.push_back(c.p99);
        waitP50.push_back(w.p50), waitP99.push_back(w.p99), chainP50.push_back(h.p50),
            chainP99.push_back(h.p99);
        ratioP50.push_back(c.p50 / r.p50), ratioP99.push_back(c.p99 / r.p99);
    }

    // Where the scheduler puts the two ends decides most of a round trip on a virtual machine: waking
    // a thread on an idle virtual CPU costs tens of microseconds there. The unpinned figures above are
    // whatever placement the run got; these place both ends on one CPU, then on two, for both loops.
    struct Placed {
        double raw = 0, call = 0;
    };
    auto placed = [&](int clientCpu, int serverCpu) {
        place(::getpid(), clientCpu), place(rawServer, serverCpu), place(transportServer, serverCpu);
        std::vector<double> p50Raw, p50Call;
        // Each measured block follows an unmeasured one of the same loop: right after the other loop, a
        // thousand calls on one CPU run about a third slower than in a steady stream of them.
        for (int block = 0; block < 5; ++block) {
            std::vector<double> unmeasured, raw, call;
            rawLoop(perBlock, unmeasured);
            rawLoop(perBlock, raw);
            chainedLoop(perBlock, unmeasured);
            chainedLoop(perBlock, call);
            p50Raw.push_back(summarise(raw).p50), p50Call.push_back(summarise(call).p50);
        }
        return Placed{median(p50Raw), median(p50Call)};
    };
    const bool twoCpus = std::thread::hardware_concurrency() >= 2;
    Placed together = placed(0, 0), apart = twoCpus ? placed(0, 1) : Placed{};
    place(::getpid(), -1), place(rawServer, -1), place(transportServer, -1);

    (*connection)->invalidate();
    ::close(rawPair[0]);
    ::waitpid(rawServer, nullptr, 0);
    ::waitpid(transportServer, nullptr, 0);

    std::printf(
        "round trips: %d x %d blocks, alternating (request %zu bytes, reply %zu bytes); medians of blocks\n",
        perBlock, blocks, request.size(), replySize);
    std::printf("raw SOCK_SEQPACKET ping-pong:          p50 %.1f us  p99 %.1f us\n", median(rawP50),
                median(rawP99));
    std::printf("fetchHelperInfoWithReply: reply block: p50 %.1f us  p99 %.1f us\n", median(callP50),
                median(callP99));
    std::printf("  ... caller's thread woken:           p50 %.1f us  p99 %.1f us\n", median(waitP50),
                median(waitP99));
    std::printf("  ... called from the reply block:     p50 %.1f us  p99 %.1f us\n", median(chainP50),
                median(chainP99));
    std::printf("ratio call/raw: p50 %.2fx  p99 %.2fx (per-block ratios: p50 %.2f-%.2fx)\n", median(ratioP50),
                median(ratioP99), *std::min_element(ratioP50.begin(), ratioP50.end()),
                *std::max_element(ratioP50.begin(), ratioP50.end()));
    std::printf(
        "placed, both ends on one CPU:   raw p50 %.1f us, call (from the reply block) p50 %.1f us: %.2fx\n",
        together.raw, together.call, together.call / together.raw);
    if (twoCpus)
        std::printf(
            "placed, ends on two CPUs:       raw p50 %.1f us, call (from the reply block) p50 %.1f us: "
            "%.2fx\n",
            apart.raw, apart.call, apart.call / apart.raw);
    std::printf(
        "| info call round trip p50 / p99 (bench_ipc) | %.1f / %.1f us | %.1f / %.1f us | %.2fx / %.2fx | <= "
        "2x |\n",
        median(rawP50), median(rawP99), median(callP50), median(callP99), median(ratioP50), median(ratioP99));
    std::printf("| info call p50, both ends on one CPU (bench_ipc) | %.1f us | %.1f us | %.2fx | <= 2x |\n",
                together.raw, together.call, together.call / together.raw);
    if (twoCpus)
        std::printf("| info call p50, ends on two CPUs (bench_ipc) | %.1f us | %.1f us | %.2fx | <= 2x |\n",
                    apart.raw, apart.call, apart.call / apart.raw);
    return 0;
}
