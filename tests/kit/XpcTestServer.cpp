// Echo implementation of the helper interface for the transport tests; serves until stdin closes and
// prints "ready" once it listens.
//   kit_xpc_test_server <directory> <name> [--spare-fds N] [--activated] [--start-on-input]
// --spare-fds leaves N free descriptors; --start-on-input waits for one byte before binding (racing).

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kit/xpc/Listener.h"
#include "kit/xpc/VelmoraHelperXPC.h"

using namespace velmora;
using namespace velmora::kit;
using kit::xpc::Blob;

namespace {

std::atomic<int> deliveredCalls{0};

class EchoSession final : public VelmoraHelperXPCProtocol {
  public:
    explicit EchoSession(const std::shared_ptr<xpc::Connection>& connection)
        : connection_(connection), peerPid_(connection->processIdentifier()) {}

    void fetchHelperInfo(Reply<Blob> reply) override {
        int calls = ++deliveredCalls;
        // About the size of a real info document.
        std::string info = R"({"deliveredCalls":)" + std::to_string(calls) + R"(,"peerPid":)" +
                           std::to_string(peerPid_) + R"(,"pad":")" + std::string(180, 'x') + R"("})";
        reply(info);
    }

    void openShell(Blob request, Reply<platform::UniqueFd, Blob> reply) override {
        ++deliveredCalls;
        if (!request || *request == "no-terminal") return reply(platform::UniqueFd(), std::nullopt);
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return reply(platform::UniqueFd(), std::nullopt);
        platform::UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
        // What fits in the pipe without a reader: the first 32 KiB of the request.
        size_t length = std::min<size_t>(request->size(), 32 * 1024);
        if (::write(writeEnd.get(), request->data(), length) != static_cast<ssize_t>(length))
            return reply(platform::UniqueFd(), std::nullopt);
        writeEnd.reset();
        reply(std::move(readEnd), std::move(request));
    }

    void resizeShell(std::int32_t pid, std::int64_t columns, std::int64_t rows, Reply<bool> reply) override {
        ++deliveredCalls;
        auto client = clientProxy();
        if (client) {
            client->didStartDownloading(columns);
            client->didDownload(rows);
            client->shellDidExit(pid, pid, pid);
        }
        reply(columns > rows);
    }

    void signalShell(std::int32_t pid, std::int32_t signal, Reply<bool> reply) override {
        ++deliveredCalls;
        if (auto client = clientProxy()) client->shellDidExit(pid, signal, signal);
        reply(pid < signal);
    }

    void closeShell(std::int32_t pid, Reply<> reply) override {
        ++deliveredCalls;
        if (pid == -1) ::_exit(0);  // the helper dies with the call outstanding
        if (pid == -2) return;      // the reply is dropped without being called
        reply();
    }

    void beginSelfUpdate(Blob manifest, Reply<Blob> reply) override {
        ++deliveredCalls;
        // Replies later, from another thread, after the progress notifications.
        std::thread([client = clientProxy(), manifest = std::move(manifest),
                     reply = std::move(reply)]() mutable {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (client) {
                client->didVerify();
                client->didStage();
                client->willRestart();
                client->didFail(manifest);
            }
            if (manifest == "{}") return reply(std::nullopt);
            reply(std::move(manifest));
        }).detach();
    }

    void cancelSelfUpdate(Reply<> reply) override { ++deliveredCalls, reply(); }
    void beginUninstall(Reply<Blob> reply) override { ++deliveredCalls, reply(std::nullopt); }

  private:
    std::shared_ptr<VelmoraHelperClientXPCProtocol> clientProxy() {
        auto connection = connection_.lock();
        if (!connection) return nullptr;
        return connection->remoteObjectProxyWithErrorHandler<VelmoraHelperClientXPCProtocol>(
            [](const xpc::ConnectionError& error) {
                std::fprintf(stderr, "notification failed: %s\n", error.description.c_str());
            });
    }

    std::weak_ptr<xpc::Connection> connection_;
    pid_t peerPid_;
};

class Delegate final : public xpc::ListenerDelegate {
  public:
    bool shouldAcceptNewConnection(xpc::Listener&,
                                   const std::shared_ptr<xpc::Connection>& connection) override {
        connection->setExportedInterface(VelmoraHelperXPCInterface::helperInterface());
        connection->setRemoteObjectInterface(VelmoraHelperXPCInterface::clientInterface());
        connection->setExportedObject<VelmoraHelperXPCProtocol>(std::make_shared<EchoSession>(connection));
        connection->resume();
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 64;
    std::string directory = argv[1], name = argv[2];
    bool activated = false;
    bool startOnInput = false;
    long spareFds = -1;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--activated") == 0) activated = true;
        if (std::strcmp(argv[i], "--start-on-input") == 0) startOnInput = true;
        if (std::strcmp(argv[i], "--spare-fds") == 0 && i + 1 < argc) spareFds = std::stol(argv[++i]);
    }

    std::shared_ptr<xpc::Listener> listener;
    if (activated) {
        auto sockets = xpc::Listener::socketsFromServiceManager();
        if (!sockets || sockets->size() != 1 || (*sockets)[0].name != name) {
            std::fprintf(stderr, "no activated socket named %s\n", name.c_str());
            return 1;
        }
        auto adopted = xpc::Listener::adopt(std::move((*sockets)[0].socket), name);
        if (!adopted) return 1;
        listener = *adopted;
    } else {
        char start;
        if (startOnInput && ::read(STDIN_FILENO, &start, 1) != 1) return 1;
        auto bound = xpc::Listener::bindService(directory, name);
        if (!bound) {
            std::fprintf(stderr, "%s\n", bound.error().description().c_str());
            return 1;
        }
        listener = *bound;
    }
    auto delegate = std::make_shared<Delegate>();
    listener->setDelegate(delegate);
    listener->resume();
    std::vector<platform::UniqueFd> filler;
    if (spareFds >= 0) {
        // Limits apply to descriptor numbers: cap at the highest one open now, fill every free number
        // below it, then give back the spare ones.
        int highest = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        rlimit limit{static_cast<rlim_t>(highest + 1), static_cast<rlim_t>(highest + 1)};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
        for (;;) {
            platform::UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            if (!fd.valid()) break;
            filler.push_back(std::move(fd));
        }
        for (long i = 0; i < spareFds && !filler.empty(); ++i) filler.pop_back();
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    // Worker threads are still running: leave without running static destructors under them.
    std::_Exit(0);
}
