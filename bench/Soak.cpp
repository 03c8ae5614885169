// Soak: clients of the served, built helper open and close /bin/sh shells many times over, with random
// resizes, signals, dropped connections and clients killed mid-call (SIGKILL). Afterwards the helper's
// descriptors, children and threads must be back to where they were after a warm-up, and its RSS
// within 2 MiB of it; exits 1 otherwise. Registered with ctest under the label `soak` (minutes).
//
//   soak [cycles, default 10000] [clients, default 100]

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "bench/ServedHelper.h"
#include "kit/ShellMessages.h"
#include "kit/xpc/VelmoraHelperXPC.h"

using namespace velmora;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

size_t children(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    size_t count = 0;
    for (std::string child; in >> child;) ++count;
    return count;
}

struct Figures {
    size_t descriptors, children;
    double threads, rssMiB;
};

Figures figures(pid_t helper) {
    return {bench::descriptorCount(helper), children(helper), bench::statusField(helper, "Threads"),
            bench::statusField(helper, "VmRSS") / 1024};
}

// One call made synchronously: its reply values, or nothing when it failed or took over 10 s.
template <class... V, class Call>
std::optional<std::tuple<V...>> await(const std::shared_ptr<kit::xpc::Connection>& connection, Call call) {
    struct Outcome {
        std::mutex mutex;
        bool done = false;
        std::promise<std::optional<std::tuple<V...>>> promise;
        void set(std::optional<std::tuple<V...>> value) {
            std::lock_guard lock(mutex);
            if (!std::exchange(done, true)) promise.set_value(std::move(value));
        }
    };
    auto outcome = std::make_shared<Outcome>();
    auto future = outcome->promise.get_future();
    auto proxy = connection->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperXPCProtocol>(
        [outcome](const kit::xpc::ConnectionError&) { outcome->set(std::nullopt); });
    call(*proxy,
         kit::Reply<V...>([outcome](V... values) { outcome->set(std::tuple<V...>(std::move(values)...)); }));
    if (future.wait_for(10s) != std::future_status::ready) return std::nullopt;
    return future.get();
}

// Takes the helper's notifications, as a terminal does; exits are counted.
std::atomic<int> exitsReported = 0;
struct Notifications final : kit::VelmoraHelperClientXPCProtocol {
    void shellDidExit(std::int32_t, std::int32_t, std::int32_t) override { ++exitsReported; }
    void didStartDownloading(std::int64_t) override {}
    void didDownload(std::int64_t) override {}
    void didVerify() override {}
    void didStage() override {}
    void willRestart() override {}
    void didFail(kit::Blob) override {}
};

std::shared_ptr<kit::xpc::Connection> connect(const std::string& socketPath) {
    auto connection = kit::xpc::Connection::connectToService(socketPath);
    if (!connection) return nullptr;
    (*connection)->setExportedInterface(kit::VelmoraHelperXPCInterface::clientInterface());
    (*connection)->setExportedObject<kit::VelmoraHelperClientXPCProtocol>(std::make_shared<Notifications>());
    (*connection)->setRemoteObjectInterface(kit::VelmoraHelperXPCInterface::helperInterface());
    (*connection)->resume();
    return *connection;
}

// A client process that asks for two shells and is killed while they are being opened.
void crashingClient(const std::string& socketPath, const std::string& packet, std::mt19937& random) {
    pid_t child = ::fork();
    if (child == 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
        int socket = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        char accepted[256];
        // The helper admits the connection before it reads a call.
        if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::recv(socket, accepted, sizeof accepted, 0) > 0) {
            (void)::send(socket, packet.data(), packet.size(), MSG_NOSIGNAL);
            (void)::send(socket, packet.data(), packet.size(), MSG_NOSIGNAL);
        }
        ::pause();
        ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int clientCount = argc > 2 ? std::atoi(argv[2]) : 100;

    const std::string executable = VELMORA_HELPER_EXECUTABLE;
    bench::ServedHelper served(executable);
    const pid_t helper = served.pid();
    const std::string socketPath = served.socketPath();
    kit::ShellLaunchRequest launch{80, 24, std::nullopt, std::string("/bin/sh"), false, {}, std::nullopt};
    const std::string request = launch.encoded().value();
    const std::string packet = R"({"jsonrpc":"2.0","id":1,"method":"openShell:reply:","params":[")" +
                               kit::xpc::base64Encode(request) + R"("]})";

    // Warm-up: one open and close, so that what the first use sets up once counts as the start.
    std::shared_ptr<kit::xpc::Connection> first;
    for (int attempt = 0; attempt < 500 && !first; ++attempt)
        if (!(first = connect(socketPath))) std::this_thread::sleep_for(10ms);
    auto warm = first ? await<platform::UniqueFd, kit::Blob>(
                            first, [&](auto& helperProxy,
                                       auto reply) { helperProxy.openShell(request, std::move(reply)); })
                      : std::nullopt;
    if (!warm) {
        std::fprintf(stderr, "the helper at %s did not open a shell\n", executable.c_str());
        return 1;
    }
    first->invalidate();
    std::this_thread::sleep_for(1s);
    const Figures start = figures(helper);

    std::atomic<int> next = 0, opened = 0, failed = 0, crashes = 0, drops = 0;
    // The helper refuses opens beyond 64 waiting for a thread; the clients keep under that.
    std::counting_semaphore<50> opening(50);
    std::vector<std::thread> clients;
    for (int c = 0; c < clientCount; ++c)
        clients.emplace_back([&, c] {
            std::mt19937 random(static_cast<unsigned>(c));
            auto connection = connect(socketPath);
            while (connection && next++ < cycles) {
                auto roll = random() % 100;
                if (roll < 2) {
                    crashingClient(socketPath, packet, random), ++crashes;
                    continue;
                }
                opening.acquire();
                auto shell = await<platform::UniqueFd, kit::Blob>(
                    connection, [&](auto& proxy, auto reply) { proxy.openShell(request, std::move(reply)); });
                opening.release();
                auto response = shell ? kit::ShellLaunchResponse::decode(std::get<1>(*shell).value_or(""))
                                      : tl::unexpected(kit::DecodingError{});
                if (!response || !response->succeeded()) {
                    ++failed;
                    continue;
                }
                ++opened;
                const std::int32_t pid = response->processIdentifier;
                if (roll < 30)
                    await<bool>(connection, [&](auto& proxy, auto reply) {
                        proxy.resizeShell(pid, 20 + random() % 200, 5 + random() % 100, std::move(reply));
                    });
                if (roll >= 30 && roll < 45)
                    await<bool>(connection, [&](auto& proxy, auto reply) {
                        proxy.signalShell(pid, roll < 40 ? SIGWINCH : SIGTERM, std::move(reply));
                    });
                if (roll >= 95) {  // the client goes away with its shell open, and comes back
                    connection->invalidate(), ++drops;
                    connection = connect(socketPath);
                    continue;
                }
                await<>(connection,
                        [&](auto& proxy, auto reply) { proxy.closeShell(pid, std::move(reply)); });
            }
            if (connection) connection->invalidate();
        });
    for (auto& client : clients) client.join();

    // Whatever the helper still has to let go of, it has let go of within 30 s (idle blocking threads
    // end after 10 s).
    Figures end = figures(helper);
    for (int i = 0; i < 300 && (end.children > start.children || end.descriptors > start.descriptors ||
                                end.threads > start.threads);
         ++i) {
        std::this_thread::sleep_for(100ms);
        end = figures(helper);
    }
    std::this_thread::sleep_for(1s);
    end = figures(helper);
    std::printf(
        "cycles %d over %d clients: %d shells opened, %d opens failed, %d exits reported, %d clients "
        "killed, %d dropped\n",
        cycles, clientCount, opened.load(), failed.load(), exitsReported.load(), crashes.load(),
        drops.load());
    std::printf("%-12s %12s %9s %8s %9s\n", "", "descriptors", "children", "threads", "RSS MiB");
    std::printf("%-12s %12zu %9zu %8.0f %9.1f\n", "start", start.descriptors, start.children, start.threads,
                start.rssMiB);
    std::printf("%-12s %12zu %9zu %8.0f %9.1f\n", "end", end.descriptors, end.children, end.threads,
                end.rssMiB);
    const bool back = end.descriptors <= start.descriptors && end.children <= start.children &&
                      end.threads <= start.threads && end.rssMiB <= start.rssMiB + 2 &&
                      ::kill(helper, 0) == 0;
    std::printf(back ? "back to the start\n" : "NOT back to the start\n");
    return back && failed == 0 ? 0 : 1;
}
