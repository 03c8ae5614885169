#include "codesign/ProcessCode.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>

#include "codesign/ProcessMappings.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::codesign {

namespace fs = std::filesystem;

namespace {

// The pid the pidfd names in our pid namespace: -1 once it has exited, 0 when it is not visible here.
pid_t pidOf(int pidfd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
    for (std::string line; std::getline(info, line);)
        if (line.starts_with("Pid:")) return static_cast<pid_t>(std::stol(line.substr(4)));
    return 0;
}

bool alive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

}  // namespace

tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkProcess(
    int pidfd, std::string_view requirementText, VerificationCache* cache,
    const std::function<bool()>& cancelled) {
    auto stopped = [&] { return cancelled && cancelled(); };
    if (pidfd < 0) return tl::unexpected(std::string("the process cannot be identified"));
    pid_t pid = pidOf(pidfd);
    if (pid <= 0) return tl::unexpected(std::string("the process has exited"));
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    platform::UniqueFd executable(::open(link.c_str(), O_PATH | O_CLOEXEC));
    struct stat running {};
    if (!executable.valid() || ::fstat(executable.get(), &running) != 0)
        return tl::unexpected("its executable cannot be opened: " +
                              platform::SystemError::fromErrno("open").reason());
    std::error_code error;
    fs::path path = fs::read_symlink(link, error);
    if (error || !alive(pidfd)) return tl::unexpected(std::string("the process has exited"));

    // <bundle>/Contents/MacOS/<name>
    fs::path macos = path.parent_path();
    fs::path contents = macos.parent_path();
    if (macos.filename() != "MacOS" || contents.filename() != "Contents")
        return tl::unexpected("its executable " + path.string() + " does not lie in a bundle");
    if (stopped()) return tl::unexpected(std::string(kCheckCancelled));
    auto checked = checkValidity(contents.parent_path(), requirementText, cache);
    if (!checked) return tl::unexpected(contents.parent_path().string() + ": " + checked.error());
    const ScannedItem* sealed = (*checked)->find("Contents/MacOS/" + path.filename().string());
    if (sealed == nullptr || sealed->resource.type != ResourceEntry::Type::file ||
        sealed->identity.device != running.st_dev || sealed->identity.inode != running.st_ino)
        return tl::unexpected("its executable " + path.string() + " is not the file its bundle seals");
    if (stopped()) return tl::unexpected(std::string(kCheckCancelled));
    if (auto foreign = checkMappedCode(pid, **checked)) return tl::unexpected(*foreign);
    // Read while the pid was still this process's: a process that took it over since could answer.
    if (!alive(pidfd)) return tl::unexpected(std::string("the process has exited"));
    return *checked;
}

}  // namespace velmora::codesign
