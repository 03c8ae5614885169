#include "bench/PrivateUserManager.h"

#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace velmora::bench {

namespace fs = std::filesystem;

PrivateUserManager::PrivateUserManager() {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run/systemd", "tmpfs", 0, "mode=0755") != 0 ||
        ::mkdir("/run/systemd/system", 0755) != 0)
        return;
    char scratch[] = "/tmp/velmora-bench-manager-XXXXXX";
    if (::mkdtemp(scratch) == nullptr) return;
    scratch_ = scratch, home_ = scratch_ / "home", runtime_ = scratch_ / "run";
    fs::create_directories(home_);
    fs::create_directories(runtime_);
    // Everything the child needs is made before the fork.
    std::string homeVariable = "HOME=" + home_.string(),
                runtimeVariable = "XDG_RUNTIME_DIR=" + runtime_.string();
    const char* argv[] = {"/lib/systemd/systemd", "--user", nullptr};
    const char* envp[] = {homeVariable.c_str(), runtimeVariable.c_str(), "PATH=/usr/bin:/bin", nullptr};
    if ((pid_ = ::fork()) == 0) {
        ::execve(argv[0], const_cast<char**>(argv), const_cast<char**>(envp));
        ::_exit(127);
    }
    for (int i = 0; i < 400 && pid_ > 0 && !(running_ = fs::is_socket(runtime_ / "systemd/private")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
}

PrivateUserManager::~PrivateUserManager() {
    // A user manager stops every unit and exits on SIGTERM.
    if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0) ::waitpid(pid_, nullptr, 0);
    std::error_code ignored;
    if (!scratch_.empty()) fs::remove_all(scratch_, ignored);
}

namespace {
bool inScope(pid_t pid) {
    std::ifstream groups("/proc/" + std::to_string(pid) + "/cgroup");
    for (std::string line; std::getline(groups, line);)
        if (line.starts_with("0::") && line.ends_with(".scope") && !line.ends_with("/init.scope"))
            return true;
    return false;
}
}  // namespace

std::size_t waitForScopes(const std::vector<pid_t>& pids, std::chrono::seconds timeout) {
    std::size_t moved = 0;
    for (auto deadline = std::chrono::steady_clock::now() + timeout;;
         std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        moved = static_cast<std::size_t>(std::count_if(pids.begin(), pids.end(), inScope));
        if (moved == pids.size() || std::chrono::steady_clock::now() >= deadline) return moved;
    }
}

}  // namespace velmora::bench
