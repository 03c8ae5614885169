// Signature checks beside `openssl cms -verify` of the same signature, and what the client check adds
// to a connection's first call, against a plain call round trip on an open connection.
//
//   bench_codesign [iterations]
//
// Runs from its own signed bundle, since the helper it starts serves no other client.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codesign/CodeSignature.h"
#include "codesign/ProcessCode.h"
#include "codesign/ProcessMappings.h"
#include "codesign/ProcessRoot.h"
#include "codesign/StaticCode.h"
#include "codesign/VerificationCache.h"
#include "kit/VelmoraHelperIdentity.h"
#include "kit/xpc/VelmoraHelperXPC.h"

using namespace velmora;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// The median of `runs` timings of `work`, in milliseconds.
double median(int runs, const std::function<void()>& work) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        work();
        samples.push_back(milliseconds(Clock::now() - start));
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Starts `arguments` with standard error to /dev/null; -1 when it cannot be started.
pid_t start(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

int run(std::vector<std::string> arguments) {
    pid_t pid = start(std::move(arguments));
    if (pid < 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "bench_codesign: %s\n", what);
    std::exit(1);
}

// One info call on `connection`, waited for.
void fetchInfo(const std::shared_ptr<kit::xpc::Connection>& connection) {
    auto helper = connection->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperXPCProtocol>(
        [](const kit::xpc::ConnectionError& error) {
            std::fprintf(stderr, "call failed: %s\n", error.description.c_str());
            std::_Exit(1);
        });
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    helper->fetchHelperInfo(kit::Reply<kit::Blob>([&](kit::Blob) {
        std::lock_guard lock(mutex);
        done = true;
        answered.notify_one();
    }));
    std::unique_lock lock(mutex);
    answered.wait(lock, [&] { return done; });
}

std::shared_ptr<kit::xpc::Connection> connect(const std::string& socket) {
    auto connection = kit::xpc::Connection::connectToService(socket);
    check(connection.has_value(), "cannot connect to the helper");
    (*connection)->setRemoteObjectInterface(kit::VelmoraHelperXPCInterface::helperInterface());
    (*connection)->resume();
    return *connection;
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 200;
    fs::path scratch = fs::temp_directory_path() / ("bench-codesign-" + std::to_string(::getpid()));
    fs::create_directories(scratch / "run");
    fs::permissions(scratch / "run", fs::perms::owner_all);
    const std::string helperRequirement(kit::VelmoraHelperIdentity::helperCodeSigningRequirement);

    // 1. The helper's own bundle, checked as an update is.
    double helperBundle = median(20, [&] {
        check(codesign::checkValidity(VELMORA_BUNDLE_DIR, helperRequirement).has_value(),
              "helper bundle rejected");
    });

    // 2. A 100 MiB client bundle: cold (nothing remembered) and again unchanged (remembered).
    fs::path client = scratch / "Large Client.app";
    fs::create_directories(client / "Contents/MacOS");
    fs::create_directories(client / "Contents/Resources");
    fs::copy_file("/bin/true", client / "Contents/MacOS/client");
    std::mt19937_64 random(1);
    for (int file = 0; file < 4; ++file) {
        std::vector<std::uint64_t> block(25 << 17);  // 25 MiB
        for (auto& word : block) word = random();
        std::ofstream(client / "Contents/Resources" / ("data" + std::to_string(file)), std::ios::binary)
            .write(reinterpret_cast<const char*>(block.data()),
                   static_cast<std::streamsize>(block.size() * 8));
    }
    check(codesign::signBundle(client, "com.norwick.Velmora.dev", VELMORA_SIGNING_KEY, VELMORA_SIGNING_CHAIN)
              .has_value(),
          "cannot sign the client bundle");
    const std::string clientRequirement = kit::VelmoraHelperIdentity::clientCodeSigningRequirement();
    double cold = median(5, [&] {
        codesign::VerificationCache fresh;
        check(codesign::checkValidity(client, clientRequirement, &fresh).has_value(), "client rejected");
    });
    // Files changed within the timestamp allowance are hashed on every lookup; a terminal's bundle is
    // older than that, so the cached figure is taken once it has passed.
    std::this_thread::sleep_for(std::chrono::nanoseconds(codesign::VerificationCache::kTimestampAllowanceNs) +
                                std::chrono::milliseconds(100));
    codesign::VerificationCache cache;
    check(codesign::checkValidity(client, clientRequirement, &cache).has_value(), "client rejected");
    double warm = median(50, [&] {
        check(codesign::checkValidity(client, clientRequirement, &cache).has_value(), "client rejected");
    });

    // 3. openssl cms -verify of the same detached signature (the signature alone: no bundle hashing).
    fs::path signature = client / "Contents/_CodeSignature";
    double openssl = median(10, [&] {
        check(run({"/usr/bin/openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in",
                   (signature / "CodeSignature").string(), "-content", (signature / "CodeResources").string(),
                   "-CAfile", VELMORA_ANCHORS_PEM, "-purpose", "any", "-out", "/dev/null"}) == 0,
              "openssl cms -verify failed");
    });

    std::printf("helper bundle, full check:                   %8.3f ms\n", helperBundle);
    std::printf("100 MiB client bundle, cold:                 %8.3f ms\n", cold);
    std::printf("100 MiB client bundle, unchanged (cached):   %8.3f ms  (%.1fx less than cold)\n", warm,
                cold / warm);
    std::printf("openssl cms -verify of the same signature:   %8.3f ms  (process included)\n", openssl);

    // 4. The helper: a first call on a new connection from this (verified) bundle vs a plain call.
    std::string runtime = (scratch / "run").string();
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("HOME", scratch.c_str(), 1);
    pid_t helper = start({VELMORA_HELPER_EXECUTABLE, "--serve"});
    check(helper > 0, "cannot start the helper");
    std::string socket = runtime + "/" + kit::VelmoraHelperIdentity::machServiceNames()[0];
    for (int i = 0; i < 200 && !fs::exists(socket); ++i) ::usleep(10000);
    auto open = connect(socket);
    fetchInfo(open);  // this bundle is now verified and remembered
    double plain = median(iterations, [&] { fetchInfo(open); });
    double first = median(iterations, [&] {
        auto fresh = connect(socket);
        fetchInfo(fresh);
        fresh->invalidate();
    });
    // The check alone, as the helper runs it for this (remembered) process.
    platform::UniqueFd self(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
    codesign::VerificationCache processCache;
    check(codesign::checkProcess(self.get(), clientRequirement, &processCache).has_value(),
          "this bundle rejected");
    double checkAlone = median(iterations, [&] {
        check(codesign::checkProcess(self.get(), clientRequirement, &processCache).has_value(),
              "this bundle rejected");
    });
    // The rules on mapped code alone, for velmora-shell as it waits for a manifest nobody writes.
    fs::path shellBundle = fs::path(VELMORA_SHELL_TOOL).parent_path().parent_path().parent_path();
    auto shellSealed = codesign::checkValidity(shellBundle, clientRequirement);
    check(shellSealed.has_value(), "velmora-shell's bundle rejected");
    fs::path fifo = scratch / "manifest";
    check(::mkfifo(fifo.c_str(), 0600) == 0, "mkfifo failed");
    pid_t shell = start({VELMORA_SHELL_TOOL, "update", fifo.string()});
    check(shell > 0, "cannot start velmora-shell");
    std::string shellMaps = "/proc/" + std::to_string(shell) + "/maps";
    // Until it sleeps in the open of the FIFO, with everything the loader maps in place.
    for (int i = 0; i < 1000; ++i) {
        std::ifstream maps(shellMaps), stat("/proc/" + std::to_string(shell) + "/stat");
        std::string text((std::istreambuf_iterator<char>(maps)), {}), state;
        std::getline(stat, state);
        if (text.find("libc.so") != std::string::npos && state.find(") S ") != std::string::npos) break;
        ::usleep(2000);
    }
    int shellPidfd = static_cast<int>(::syscall(SYS_pidfd_open, shell, 0));
    double mapped = median(iterations, [&] {
        auto root = codesign::ProcessRoot::open(shell, shellPidfd);
        check(root.has_value(), "velmora-shell's root cannot be opened");
        check(codesign::checkMappedCode(*root, **shellSealed).has_value(),
              "velmora-shell's mappings refused");
    });
    ::kill(shell, SIGKILL);
    ::waitpid(shell, nullptr, 0);
    ::close(shellPidfd);
    open->invalidate();
    ::kill(helper, SIGTERM);
    ::waitpid(helper, nullptr, 0);
    fs::remove_all(scratch);

    std::printf("plain call round trip (open connection):     %8.3f ms\n", plain);
    std::printf("connect + first call (verified client):      %8.3f ms  (adds %.2fx a plain call)\n", first,
                (first - plain) / plain);
    std::printf("client check alone (verified client):        %8.3f ms  (%.2fx a plain call)\n", checkAlone,
                checkAlone / plain);
    std::printf(
        "mapped-code rules alone (velmora-shell):     %8.3f ms  (%.2fx a plain call, %.2fx the check)\n",
        mapped, mapped / plain, mapped / checkAlone);
    return 0;
}
