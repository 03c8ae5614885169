// The update's download and expansion beside the command-line tools on the same input: a 100 MiB file
// fetched over HTTPS from `openssl s_server` on loopback, by the updater's download and by `curl`; the
// built helper bundle as a ZIP, unpacked by the updater's expansion and by `bsdtar -xf`. Needs root: a
// private mount namespace puts a throw-away certificate in place of the system trust store.
//
// Usage: bench_update [rounds]   (best of `rounds`, default 3)

#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "core/update/HelperUpdaterIO.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPort = 4433;
constexpr std::int64_t kSize = 100LL << 20;

int run(const std::vector<std::string>& command, const fs::path& directory = {}) {
    std::fflush(nullptr);  // a child must not write out what this process buffered
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!directory.empty() && ::chdir(directory.c_str()) != 0) ::_exit(126);
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        std::vector<char*> argv;
        for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

double bestSeconds(int rounds, const std::function<bool()>& once) {
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        if (!once()) {
            std::fprintf(stderr, "a run failed\n");
            std::exit(1);
        }
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "bench_update needs root (a private mount namespace)\n");
        return 1;
    }
    char pattern[] = "/tmp/velmora-bench-XXXXXX";
    fs::path scratch = ::mkdtemp(pattern), served = scratch / "served";
    fs::create_directories(served);
    auto key = scratch / "key.pem", certificate = scratch / "certificate.pem";
    if (run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
             "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}) != 0 ||
        ::mount(certificate.c_str(), "/etc/ssl/certs/ca-certificates.crt", nullptr, MS_BIND, nullptr) != 0) {
        std::fprintf(stderr, "cannot put a test certificate in place\n");
        return 1;
    }
    {
        std::ofstream file(served / "update.zip", std::ios::binary);
        std::mt19937_64 random(42);
        std::vector<std::uint64_t> block(1 << 16);
        for (std::int64_t written = 0; written < kSize; written += block.size() * 8) {
            for (auto& word : block) word = random();
            file.write(reinterpret_cast<const char*>(block.data()),
                       static_cast<std::streamsize>(block.size() * 8));
        }
    }
    std::fflush(nullptr);
    pid_t server = ::fork();
    if (server == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::exit(run({"openssl", "s_server", "-quiet", "-WWW", "-accept",
                       "127.0.0.1:" + std::to_string(kPort), "-cert", certificate, "-key", key},
                      served));
    }
    for (int i = 0; i < 200; ++i) {
        int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, htons(kPort), {htonl(INADDR_LOOPBACK)}, {}};
        bool up = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        if (up) break;
        ::usleep(25000);
    }

    std::string url = "https://127.0.0.1:" + std::to_string(kPort) + "/update.zip";
    auto curlSeconds = bestSeconds(rounds, [&] {
        fs::remove(scratch / "curl.zip");
        return run({"curl", "-sSf", "-o", scratch / "curl.zip", url}) == 0 &&
               fs::file_size(scratch / "curl.zip") == kSize;
    });
    auto helperSeconds = bestSeconds(rounds, [&] {
        fs::remove(scratch / "helper.zip");
        std::promise<bool> done;
        velmora::core::HelperUpdaterIO::download(
            url, scratch / "helper.zip", kSize, [](std::int64_t) {}, [] { return false; },
            [&](auto result) { done.set_value(result.has_value()); });
        return done.get_future().get() && fs::file_size(scratch / "helper.zip") == kSize;
    });
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    auto mib = static_cast<double>(kSize) / (1 << 20);
    std::printf("download 100 MiB: helper %.0f MiB/s, curl %.0f MiB/s, helper/curl time %.2fx\n",
                mib / helperSeconds, mib / curlSeconds, helperSeconds / curlSeconds);

    fs::path bundle = VELMORA_BUNDLE_DIR, archive = scratch / "bundle.zip";
    if (run({"bsdtar", "-a", "-cf", archive, "-C", bundle.parent_path(), bundle.filename()}) != 0) {
        std::fprintf(stderr, "bsdtar is missing (libarchive-tools)\n");
        return 1;
    }
    auto fresh = [&](const char* name) {
        fs::remove_all(scratch / name);
        fs::create_directories(scratch / name);
        return scratch / name;
    };
    auto bsdtarSeconds = bestSeconds(rounds, [&] {
        return run({"bsdtar", "-xf", archive, "-C", fresh("tar")}) == 0;
    });
    auto expandSeconds = bestSeconds(rounds, [&] {
        return velmora::core::HelperUpdaterIO::expand(archive, fresh("expanded")).has_value();
    });
    std::printf("expand %.0f MiB zip: helper %.3f s, bsdtar -xf %.3f s, helper/bsdtar %.2fx\n",
                static_cast<double>(fs::file_size(archive)) / (1 << 20), expandSeconds, bsdtarSeconds,
                expandSeconds / bsdtarSeconds);
    fs::remove_all(scratch);
    return 0;
}
