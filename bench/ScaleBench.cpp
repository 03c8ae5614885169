// Open latency as shells accumulate: clients of the served, built helper (started with --serve in a
// throw-away home) hold more and more /bin/sh shells. At 10, 100 and 1000 held shells every client opens
// one more shell (in waves of 50 at once); the p50/p99 of those opens and the helper's descriptors, threads
// and RSS are printed, with the p99 as a ratio of the first step's. Then the first client queues 200 opens
// at once (a terminal restoring its windows) and a second client opens one: its latency against its open
// alone, and how many of the 200 were answered before it.
//
//   bench_scale [clients, default 100] [most shells, default 1000]

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bench/PrivateUserManager.h"
#include "bench/ServedHelper.h"
#include "kit/ShellMessages.h"
#include "kit/xpc/VelmoraHelperXPC.h"

using namespace velmora;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Client {
    std::shared_ptr<kit::xpc::Connection> connection;
    std::shared_ptr<kit::VelmoraHelperXPCProtocol> helper;
};

struct Opened {
    double microseconds = -1;  // negative: the open failed
    platform::UniqueFd terminal;
    std::int32_t pid = 0;
};

// Opens go in waves, as a terminal restoring its windows sends them.
constexpr size_t kWave = 50;
constexpr int kQueued = 200;
constexpr size_t kConnectBatch = 16;
constexpr int kContendedRuns = 7;

// Every client opens `perClient` shells, all at once; returns when every reply has come.
std::vector<Opened> openShells(std::vector<Client> clients, int perClient, const std::string& request) {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<Opened> opened;
    const size_t expected = clients.size() * static_cast<size_t>(perClient);
    for (int round = 0; round < perClient; ++round)
        for (auto& client : clients) {
            auto start = Clock::now();
            client.helper->openShell(
                request, kit::Reply<platform::UniqueFd, kit::Blob>([&, start](platform::UniqueFd terminal,
                                                                              kit::Blob blob) {
                    auto took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
                    auto response = kit::ShellLaunchResponse::decode(blob.value_or(""));
                    bool ok = response && response->succeeded() && terminal.valid();
                    std::lock_guard lock(mutex);
                    opened.push_back(
                        {ok ? took : -1, std::move(terminal), ok ? response->processIdentifier : 0});
                    done.notify_one();
                }));
        }
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return opened.size() == expected; });
    return opened;
}

// A client's first call waits for the check of its code signature; one info call per client gets that
// out of the way, so the first step measures opens alone, as the later ones do.
void passClientChecks(std::span<Client> clients) {
    std::mutex mutex;
    std::condition_variable done;
    size_t answered = 0;
    for (auto& client : clients)
        client.helper->fetchHelperInfo(kit::Reply<kit::Blob>([&](kit::Blob) {
            std::lock_guard lock(mutex);
            ++answered;
            done.notify_one();
        }));
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return answered == clients.size(); });
}

struct Contended {
    double microseconds = 0;
    size_t answeredBefore = 0;  // of the busy client's opens
    std::vector<Opened> opened;
};

// `other` opens one shell once `busy` has `queued` opens sent and the first of them answered.
Contended openBehindQueue(Client& busy, Client& other, int queued, const std::string& request) {
    std::mutex mutex;
    std::condition_variable done;
    Contended result;
    size_t busyAnswered = 0;
    bool otherAnswered = false;
    auto reply = [&](bool fromOther, Clock::time_point start) {
        return kit::Reply<platform::UniqueFd, kit::Blob>(
            [&, fromOther, start](platform::UniqueFd terminal, kit::Blob blob) {
                auto took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
                auto response = kit::ShellLaunchResponse::decode(blob.value_or(""));
                bool ok = response && response->succeeded() && terminal.valid();
                std::lock_guard lock(mutex);
                if (fromOther) {
                    result.microseconds = took;
                    result.answeredBefore = busyAnswered;
                    otherAnswered = true;
                } else {
                    ++busyAnswered;
                }
                result.opened.push_back(
                    {ok ? took : -1, std::move(terminal), ok ? response->processIdentifier : 0});
                done.notify_all();
            });
    };
    for (int i = 0; i < queued; ++i) busy.helper->openShell(request, reply(false, Clock::now()));
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return busyAnswered > 0; });
    lock.unlock();
    other.helper->openShell(request, reply(true, Clock::now()));
    lock.lock();
    done.wait(lock, [&] { return otherAnswered && busyAnswered == static_cast<size_t>(queued); });
    return result;
}

std::vector<pid_t> pidsOf(const std::vector<Opened>& shells) {
    std::vector<pid_t> pids;
    for (auto& shell : shells) pids.push_back(shell.pid);
    return pids;
}

double percentile(std::vector<double> values, int percent) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, values.size() * static_cast<size_t>(percent) / 100)];
}

}  // namespace

int main(int argc, char** argv) {
    const int clientCount = argc > 1 ? std::atoi(argv[1]) : 100;
    const int mostShells = argc > 2 ? std::atoi(argv[2]) : 1000;

    bench::raiseDescriptorLimit();
    const std::string executable = VELMORA_HELPER_EXECUTABLE;
    // As root the helper's shells are moved into scopes, as under the installed agent.
    bench::PrivateUserManager manager;
    bench::ServedHelper served(executable, manager.runtimeDirectory());
    const pid_t helper = served.pid();
    const std::string socketPath = served.socketPath();
    std::vector<Client> clients;
    for (int i = 0; i < clientCount; ++i) {
        std::shared_ptr<kit::xpc::Connection> connection;
        for (int attempt = 0; attempt < 500 && !connection; ++attempt) {
            auto connected = kit::xpc::Connection::connectToService(socketPath);
            if (connected)
                connection = *connected;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!connection) {
            std::fprintf(stderr, "the helper at %s is not listening\n", executable.c_str());
            return 1;
        }
        connection->setRemoteObjectInterface(kit::VelmoraHelperXPCInterface::helperInterface());
        connection->resume();
        auto proxy = connection->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperXPCProtocol>(
            [](const kit::xpc::ConnectionError& error) {
                std::fprintf(stderr, "call failed: %s\n", error.description.c_str());
                std::_Exit(1);
            });
        clients.push_back({connection, proxy});
        // The helper checks at most 16 new connections of one process at a time and ends the others.
        if (clients.size() % kConnectBatch == 0 || static_cast<int>(clients.size()) == clientCount)
            passClientChecks(std::span(clients).last((clients.size() - 1) % kConnectBatch + 1));
    }
    kit::ShellLaunchRequest launch{80, 24, std::nullopt, std::string("/bin/sh"), false, {}, std::nullopt};
    const std::string request = launch.encoded().value();

    std::printf("helper: %s\nclients: %d; at each step every client opens one more shell, in waves of 50\n",
                executable.c_str(), clientCount);
    std::printf("scopes: %s\n", manager.running() ? "on (a private user manager)" : "off (needs root)");
    std::printf("%8s %10s %10s %9s %8s %9s %10s\n", "shells", "p50 us", "p99 us", "p99/first", "fds",
                "threads", "RSS MiB");
    std::vector<Opened> held;
    double firstP99 = 0, lastP99 = 0;
    std::vector<Opened> probes;
    for (int step : {10, 100, 1000}) {
        if (step > mostShells) break;
        // Fill up to the step, spread over the clients, then measure one open per client on top.
        while (static_cast<int>(held.size()) < step) {
            auto count = std::min<long>(
                {clientCount, static_cast<long>(kWave), step - static_cast<long>(held.size())});
            for (auto& opened : openShells({clients.begin(), clients.begin() + count}, 1, request))
                held.push_back(std::move(opened));
        }
        // With scopes on, measured once the held shells are in theirs (the moves come after the opens).
        if (manager.running()) bench::waitForScopes(pidsOf(held), std::chrono::minutes(3));
        probes.clear();
        for (size_t first = 0; first < clients.size(); first += kWave) {
            auto last = clients.begin() + static_cast<long>(std::min(clients.size(), first + kWave));
            for (auto& opened : openShells({clients.begin() + static_cast<long>(first), last}, 1, request))
                probes.push_back(std::move(opened));
        }
        std::vector<double> latencies;
        for (auto& probe : probes)
            if (probe.microseconds >= 0) latencies.push_back(probe.microseconds);
        if (latencies.size() != probes.size()) {
            std::fprintf(stderr, "%zu of %zu opens failed\n", probes.size() - latencies.size(),
                         probes.size());
            return 1;
        }
        const double p99 = percentile(latencies, 99);
        if (firstP99 == 0) firstP99 = p99;
        lastP99 = p99;
        std::printf("%8zu %10.0f %10.0f %8.2fx %8zu %9.0f %10.1f\n", held.size(), percentile(latencies, 50),
                    p99, p99 / firstP99, bench::descriptorCount(helper),
                    bench::statusField(helper, "Threads"), bench::statusField(helper, "VmRSS") / 1024.0);
        for (auto& probe : probes) held.push_back(std::move(probe));
    }
    std::printf(
        "| open p99 with %zu shells over %d clients vs with 10 (bench_scale) | %.0f us | %.0f us | %.2fx | "
        "<= 1.5x |\n",
        held.size() - probes.size(), clientCount, firstP99, lastP99, lastP99 / firstP99);
    if (clients.size() >= 2) {
        std::vector<double> alone;
        for (int i = 0; i < 9; ++i)
            for (auto& opened : openShells({clients[1]}, 1, request)) {
                alone.push_back(opened.microseconds);
                held.push_back(std::move(opened));
            }
        // One burst says little (which open thread frees first decides it): the median of several.
        std::vector<double> waits, before;
        for (int run = 0; run < kContendedRuns; ++run) {
            auto contended = openBehindQueue(clients[0], clients[1], kQueued, request);
            waits.push_back(contended.microseconds);
            before.push_back(static_cast<double>(contended.answeredBefore));
            // Their terminals close here; the shells hang up and end before the next burst.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        const double aloneP50 = percentile(alone, 50), waitP50 = percentile(waits, 50);
        std::printf(
            "second client's open: alone p50 %.0f us; with %d queued by the first p50 %.0f us (%.2fx), "
            "worst %.0f us; answered after %.0f of them (p50), at most %.0f\n",
            aloneP50, kQueued, waitP50, waitP50 / aloneP50, percentile(waits, 100), percentile(before, 50),
            percentile(before, 100));
        std::printf(
            "| open behind another client's %d queued opens vs alone, p50 of %d (bench_scale) | %.0f us | "
            "%.0f us | %.2fx | answered after %.0f of them |\n",
            kQueued, kContendedRuns, aloneP50, waitP50, waitP50 / aloneP50, percentile(before, 50));
    }
    if (manager.running())
        std::printf("held shells in scopes: %zu of %zu\n",
                    bench::waitForScopes(pidsOf(held), std::chrono::minutes(1)), held.size());
    // Ending the connections closes their shells.
    for (auto& client : clients) client.connection->invalidate();
    return 0;
}
