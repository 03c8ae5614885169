#include "bench/ServedHelper.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace velmora::bench {

namespace fs = std::filesystem;

ServedHelper::ServedHelper(const std::string& executable, const fs::path& runtimeDirectory) {
    char scratchTemplate[] = "/tmp/velmora-bench-XXXXXX";
    if (::mkdtemp(scratchTemplate) == nullptr) return;
    scratch_ = scratchTemplate;
    runtime_ = runtimeDirectory.empty() ? scratch_ / "run" : runtimeDirectory;
    fs::create_directories(scratch_ / "home");
    fs::create_directories(runtime_);
    fs::permissions(runtime_, fs::perms::owner_all);
    // Everything the child needs is made before the fork.
    std::string program = executable, serve = "--serve", home = "HOME=" + (scratch_ / "home").string(),
                runtime = "XDG_RUNTIME_DIR=" + runtime_.string(), path = "PATH=/usr/bin:/bin";
    char* argv[] = {program.data(), serve.data(), nullptr};
    char* envp[] = {home.data(), runtime.data(), path.data(), nullptr};
    pid_ = ::fork();
    if (pid_ == 0) {
        int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, STDIN_FILENO), ::dup2(devNull, STDOUT_FILENO), ::dup2(devNull, STDERR_FILENO);
        ::execve(program.c_str(), argv, envp);
        ::_exit(127);
    }
}

ServedHelper::~ServedHelper() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (!scratch_.empty()) {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }
}

std::string ServedHelper::socketPath() const {
    return (runtime_ / "group.com.norwick.Velmora.helper").string();
}

double statusField(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(name + ":")) return std::strtod(line.c_str() + name.size() + 1, nullptr);
    return -1;
}

std::size_t descriptorCount(pid_t pid) {
    std::size_t count = 0;
    std::error_code error;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

void raiseDescriptorLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace velmora::bench
