#include "tests/helper/UserManagerSupport.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "kit/HelperInfo.h"
#include "tests/helper/ServiceTestSupport.h"

namespace velmora::testing {

namespace fs = std::filesystem;

namespace {
// unshare(CLONE_NEWNS) needs a process with one thread: it runs before the first test.
bool privateNamespace = false;
struct PrivateMountNamespace : ::testing::Environment {
    void SetUp() override {
        privateNamespace = ::unshare(CLONE_NEWNS) == 0 &&
                           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                           ::mount("tmpfs", "/run/systemd", "tmpfs", 0, "mode=0755") == 0 &&
                           fs::create_directory("/run/systemd/system");
    }
};
[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new PrivateMountNamespace);
}  // namespace

UserManager::UserManager(bool start) {
    fs::create_directories(home);
    fs::create_directories(runtime);
    ready = privateNamespace && !start;
    if (!privateNamespace || !start) return;
    std::string homeVariable = "HOME=" + home.string(),
                runtimeVariable = "XDG_RUNTIME_DIR=" + runtime.string();
    const char* argv[] = {"/lib/systemd/systemd", "--user", nullptr};
    const char* envp[] = {homeVariable.c_str(), runtimeVariable.c_str(), "PATH=/usr/bin:/bin", nullptr};
    if ((manager = ::fork()) == 0) {
        ::freopen("/dev/null", "w", stdout);
        ::execve(argv[0], const_cast<char**>(argv), const_cast<char**>(envp));
        ::_exit(127);
    }
    for (int i = 0; i < 200 && !(ready = fs::is_socket(runtime / "systemd" / "private")); ++i)
        ::usleep(25000);
}

UserManager::~UserManager() {
    // A user manager stops every unit and exits on SIGTERM.
    if (manager > 0 && ::kill(manager, SIGTERM) == 0)
        for (int i = 0; i < 200 && ::waitpid(manager, nullptr, WNOHANG) == 0; ++i) ::usleep(25000);
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
}

ProcessResult UserManager::run(const fs::path& executable, const std::vector<std::string>& arguments) const {
    ProcessOptions options;
    options.environment = {{"HOME", home}, {"XDG_RUNTIME_DIR", runtime}, {"PATH", "/usr/bin:/bin"}};
    return runProcess(executable, arguments, options);
}

pid_t UserManager::helperPid() const {
    auto shown =
        run("/usr/bin/systemctl", {"--user", "show", "-P", "MainPID", "com.norwick.VelmoraHelper.service"});
    return std::atoi(shown.standardOutput.c_str());
}

pid_t UserManager::infoPid(const std::string& serviceName) const {
    auto client = ClientEnd::connect(runtime / serviceName);
    if (!client) return -1;
    CallOutcome<kit::Blob> outcome;
    client->proxy(outcome)->fetchHelperInfo(outcome.reply());
    if (!outcome.wait() || !outcome.values()) return -1;
    auto info = kit::HelperInfo::decode(std::get<0>(*outcome.values()).value_or(""));
    return info ? info->processIdentifier : -1;
}

void UserManager::mountOver(const fs::path& source, const fs::path& target, unsigned long flags) {
    ASSERT_EQ(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0) << target;
    mounts.push_back(target);
    if (flags) {
        ASSERT_EQ(::mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | flags, nullptr), 0);
    }
}

}  // namespace velmora::testing
