#include "codesign/ProcessCode.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>

#include "codesign/ProcessMappings.h"
#include "codesign/ProcessRoot.h"
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

// The bundle folder at `path` in the process's view, opened through its root. The cache knows it by
// the path under which we see the same folder, so that clients inside and outside sandboxes share an
// entry; a folder we cannot see keeps the process's path (the cache's identities still tell bundles at
// one path apart).
tl::expected<OpenedBundle, CodeSignError> openBundleInView(const ProcessRoot& root, const fs::path& path) {
    platform::UniqueFd directory = root.openInView(path, O_RDONLY | O_DIRECTORY);
    struct stat status {};
    if (!directory.valid() || ::fstat(directory.get(), &status) != 0)
        return tl::unexpected(CodeSignError{Status::bundleUnreadable, {}});
    return adoptBundle(std::move(directory),
                       root.hostPath(path, status.st_dev, status.st_ino).value_or(path));
}

}  // namespace

tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkProcess(
    int pidfd, std::string_view requirementText, VerificationCache* cache,
    const std::function<bool()>& cancelled) {
    auto stopped = [&] { return cancelled && cancelled(); };
    if (pidfd < 0) return tl::unexpected(std::string("the process cannot be identified"));
    pid_t pid = pidOf(pidfd);
    if (pid <= 0) return tl::unexpected(std::string("the process has exited"));
    // The file it runs, held open; its link text is only a path in the process's own view.
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    platform::UniqueFd executable(::open(link.c_str(), O_PATH | O_CLOEXEC));
    struct stat running {};
    if (!executable.valid() || ::fstat(executable.get(), &running) != 0)
        return tl::unexpected("its executable cannot be opened: " +
                              platform::SystemError::fromErrno("open").reason());
    std::error_code error;
    fs::path path = fs::read_symlink(link, error);
    if (error || !alive(pidfd)) return tl::unexpected(std::string("the process has exited"));
    auto root = ProcessRoot::open(pid, pidfd);
    if (!root) return tl::unexpected(root.error());

    // <bundle>/Contents/MacOS/<name>
    fs::path macos = path.parent_path();
    fs::path contents = macos.parent_path();
    if (macos.filename() != "MacOS" || contents.filename() != "Contents")
        return tl::unexpected("its executable " + path.string() + " does not lie in a bundle");
    fs::path bundle = contents.parent_path();
    if (stopped()) return tl::unexpected(std::string(kCheckCancelled));
    auto opened = openBundleInView(*root, bundle);
    if (!opened) return tl::unexpected(bundle.string() + ": " + bundleUnreadableText(opened.error().status));
    // A sandboxed client's bundle is named as it sees it and, where that differs, as we see it.
    std::string named =
        bundle.string() + (opened->path != bundle ? " (seen here as " + opened->path.string() + ")" : "");
    auto checked = checkValidity(*opened, requirementText, cache, cancelled);
    if (!checked) return tl::unexpected(named + ": " + checked.error());
    const ScannedItem* sealed = (*checked)->find("Contents/MacOS/" + path.filename().string());
    if (sealed == nullptr || sealed->resource.type != ResourceEntry::Type::file ||
        sealed->identity.device != running.st_dev || sealed->identity.inode != running.st_ino)
        return tl::unexpected("its executable " + path.string() + " is not the file its bundle seals");
    if (stopped()) return tl::unexpected(std::string(kCheckCancelled));
    if (auto mapped = checkMappedCode(*root, **checked); !mapped) return tl::unexpected(mapped.error());
    // Read while the pid was still this process's: a process that took it over since could answer.
    if (!alive(pidfd)) return tl::unexpected(std::string("the process has exited"));
    return *checked;
}

}  // namespace velmora::codesign
