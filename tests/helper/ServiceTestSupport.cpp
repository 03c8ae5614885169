#include "tests/helper/ServiceTestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace velmora::testing {

std::filesystem::path HelperProcess::executable() {
    return VELMORA_HELPER_EXECUTABLE;
}

HelperProcess::HelperProcess(std::vector<std::string> arguments,
                             std::map<std::string, std::string> extraEnvironment)
    : home_(scratch_.path() / "home"),
      runtime_(scratch_.path() / "run"),
      logFile_(scratch_.path() / "helper.log") {
    std::filesystem::create_directories(home_);
    std::filesystem::create_directories(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);  // a runtime directory's mode
    std::map<std::string, std::string> environment{
        {"HOME", home_.string()}, {"XDG_RUNTIME_DIR", runtime_.string()}, {"PATH", "/usr/bin:/bin"}};
    // A sanitizer's report in the helper fails the test as one in the test itself does.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char* value = ::getenv(name)) environment[name] = value;
    for (auto& [key, value] : extraEnvironment) environment[key] = value;
    std::vector<std::string> envStrings;
    for (auto& [key, value] : environment) envStrings.push_back(key + "=" + value);
    std::string program = arguments.empty() || arguments.front() != "@activate"
                              ? executable().string()
                              : "/usr/bin/systemd-socket-activate";
    if (!arguments.empty() && arguments.front() == "@activate") arguments.erase(arguments.begin());
    // "@RUNTIME@" in an argument stands for the runtime directory.
    for (auto& argument : arguments)
        if (auto at = argument.find("@RUNTIME@"); at != std::string::npos)
            argument.replace(at, 9, runtime_.string());
    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv, envp;
    for (auto [strings, pointers] : {std::pair{&argvStrings, &argv}, std::pair{&envStrings, &envp}}) {
        for (auto& s : *strings) pointers->push_back(s.data());
        pointers->push_back(nullptr);
    }

    // The helper logs to standard error only where no journal socket exists. So that its log lines
    // reach the file here on any machine, it runs in a private mount namespace with an empty
    // /run/systemd. Everything the child needs is made before fork.
    std::string logPath = logFile_.string();
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
            ::mount("tmpfs", "/run/systemd", "tmpfs", 0, "mode=0755");
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in < 0 || out < 0) ::_exit(126);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        if (in > STDERR_FILENO) ::close(in);
        if (out > STDERR_FILENO) ::close(out);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
}

HelperProcess::~HelperProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (auto text = log(); text.find("Sanitizer") != std::string::npos) ADD_FAILURE() << text;
}

std::string HelperProcess::socketPath(size_t serviceIndex) const {
    static const char* names[] = {"group.com.norwick.Velmora.helper", "group.com.norwick.Velmora.dev.helper"};
    return (runtime_ / names[serviceIndex]).string();
}

bool HelperProcess::waitUntilListening(std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (rawConnectUnadmitted(socketPath()).valid()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string HelperProcess::log() const {
    return readFile(logFile_);
}

std::optional<int> HelperProcess::waitForExit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

bool HelperProcess::running() const {
    if (reaped_) return false;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

OpenedShell openShell(ClientEnd& client, const kit::Blob& request) {
    CallOutcome<platform::UniqueFd, kit::Blob> outcome;
    client.proxy(outcome)->openShell(request, outcome.reply());
    if (!outcome.wait() || !outcome.values()) return {{}, kit::ShellLaunchResponse::failed("<no reply>")};
    auto& [fd, json] = *outcome.values();
    auto response = kit::ShellLaunchResponse::decode(json.value_or(""));
    return {std::move(fd), response ? *response : kit::ShellLaunchResponse::failed("<unreadable reply>")};
}

std::string runInShell(OpenedShell& shell, const std::string& command) {
    writeAll(shell.terminal.get(), command + "; echo done-$((40+2))\n");
    return readUntil(shell.terminal.get(), "done-42");
}

namespace {
bool inSystemdNamespace = false;

// A `systemd --user` roots its units' groups at the group it starts in, less a trailing init.scope. From
// the machine's init.scope every manager here would share one app.slice, and find the helpers of managers
// started by other tests in "its" service group. Each manager gets a group of its own in every hierarchy
// a manager tracks units in, made before the fork; empty when there is none to make.
std::vector<std::filesystem::path> makeOwnControlGroup() {
    static int made = 0;
    std::string name = "velmora-test-" + std::to_string(::getpid()) + "-" + std::to_string(++made);
    std::vector<std::filesystem::path> groups;
    for (const char* hierarchy : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified", "/sys/fs/cgroup/systemd"}) {
        struct statfs info {};
        constexpr long kCgroup = 0x27e0eb, kCgroup2 = 0x63677270;
        std::error_code error;
        if (::statfs(hierarchy, &info) == 0 && (info.f_type == kCgroup || info.f_type == kCgroup2) &&
            std::filesystem::create_directories(std::filesystem::path(hierarchy) / name / "init.scope",
                                                error))
            groups.push_back(std::filesystem::path(hierarchy) / name);
    }
    return groups;
}

// Once the manager has gone, which stopped its units and so emptied their groups.
void removeControlGroup(const std::filesystem::path& group) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(group, error), end; !error && it != end; it.increment(error))
        if (it->is_directory(error)) removeControlGroup(it->path());
    ::rmdir(group.c_str());
}
}  // namespace

bool enterSystemdNamespace(int extraFlags) {
    return inSystemdNamespace = ::unshare(CLONE_NEWNS | extraFlags) == 0 &&
                                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                                ::mount("tmpfs", "/run/systemd", "tmpfs", 0, "mode=0755") == 0 &&
                                std::filesystem::create_directory("/run/systemd/system");
}

UserManager::UserManager(bool start) {
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    ready = inSystemdNamespace && !start;
    if (!inSystemdNamespace || !start) return;
    std::string homeVariable = "HOME=" + home.string(),
                runtimeVariable = "XDG_RUNTIME_DIR=" + runtime.string();
    const char* argv[] = {"/lib/systemd/systemd", "--user", nullptr};
    const char* envp[] = {homeVariable.c_str(), runtimeVariable.c_str(), "PATH=/usr/bin:/bin", nullptr};
    controlGroups = makeOwnControlGroup();
    std::vector<std::string> joins;
    for (auto& group : controlGroups) joins.push_back((group / "init.scope/cgroup.procs").string());
    if ((manager = ::fork()) == 0) {
        // Closed by the exec; a manager that could not move starts where it is.
        for (auto& join : joins)
            if (int procs = ::open(join.c_str(), O_WRONLY | O_CLOEXEC); procs >= 0) {
                [[maybe_unused]] auto written = ::write(procs, "0", 1);
            }
        ::freopen("/dev/null", "w", stdout);
        ::execve(argv[0], const_cast<char**>(argv), const_cast<char**>(envp));
        ::_exit(127);
    }
    for (int i = 0; i < 200 && !(ready = std::filesystem::is_socket(runtime / "systemd/private")); ++i)
        ::usleep(25000);
}

UserManager::~UserManager() {
    // A user manager stops every unit and exits on SIGTERM.
    if (manager > 0 && ::kill(manager, SIGTERM) == 0)
        for (int i = 0; i < 200 && ::waitpid(manager, nullptr, WNOHANG) == 0; ++i) ::usleep(25000);
    for (auto& group : controlGroups) removeControlGroup(group);
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
}

ProcessResult UserManager::run(const std::filesystem::path& executable,
                               const std::vector<std::string>& arguments) const {
    ProcessOptions options;
    options.environment = {{"HOME", home}, {"XDG_RUNTIME_DIR", runtime}, {"PATH", "/usr/bin:/bin"}};
    return runProcess(executable, arguments, options);
}

std::string UserManager::show(const std::string& property) const {
    auto shown =
        run("/usr/bin/systemctl", {"--user", "show", "-P", property, "com.norwick.VelmoraHelper.service"});
    return shown.standardOutput.substr(0, shown.standardOutput.find('\n'));
}

kit::HelperInfo fetchInfo(ClientEnd& client) {
    CallOutcome<kit::Blob> outcome;
    client.proxy(outcome)->fetchHelperInfo(outcome.reply());
    EXPECT_TRUE(outcome.wait() && outcome.values());
    auto info = kit::HelperInfo::decode(outcome.values() ? std::get<0>(*outcome.values()).value_or("") : "");
    return info.value_or(kit::HelperInfo{});
}

kit::HelperInfo UserManager::info(const std::string& serviceName) const {
    auto client = ClientEnd::connect(runtime / serviceName);
    EXPECT_TRUE(client);
    return client ? fetchInfo(*client) : kit::HelperInfo{};
}

void UserManager::mountOver(const std::filesystem::path& source, const std::filesystem::path& target,
                            unsigned long flags) {
    ASSERT_EQ(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0) << target;
    mounts.push_back(target);
    if (flags) {
        ASSERT_EQ(::mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | flags, nullptr), 0);
    }
}

size_t descriptorCount(pid_t pid) {
    size_t count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    return count;
}

std::vector<pid_t> childProcesses(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::ifstream file(it->path() / "children");
        pid_t child;
        while (file >> child) children.push_back(child);
    }
    return children;
}

bool waitForProcessGone(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        auto close = text.rfind(')');
        if (!stat || close == std::string::npos || text.size() < close + 3 || text[close + 2] == 'Z')
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::map<std::string, std::string> tree(const std::filesystem::path& root) {
    std::map<std::string, std::string> items;
    for (auto& item : std::filesystem::recursive_directory_iterator(root)) {
        struct stat info {};
        ::lstat(item.path().c_str(), &info);
        items[std::filesystem::relative(item, root)] =
            std::to_string(info.st_mode) + (item.is_regular_file() ? readFile(item) : "");
    }
    return items;
}

}  // namespace velmora::testing
