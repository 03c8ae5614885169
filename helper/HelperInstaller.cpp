#include "helper/HelperInstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <vector>

#include "core/HelperBundle.h"
#include "core/HelperLog.h"
#include "core/update/HelperUpdaterIO.h"
#include "helper/AgentUnits.h"
#include "helper/ChildProcess.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/Environment.h"
#include "platform/UniqueFd.h"

namespace velmora::helper::HelperInstaller {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;
using core::HelperLog::installer;

namespace {

// "." and ".." components and repeated separators removed, no trailing separator; links kept.
fs::path standardized(const fs::path& path) {
    auto normal = path.lexically_normal();
    if (normal.has_relative_path() && !normal.has_filename()) normal = normal.parent_path();
    return normal;
}

fs::path resolved(const fs::path& path) {
    std::error_code error;
    auto result = fs::weakly_canonical(standardized(path), error);
    return error ? standardized(path) : result;
}

// The download marks of the freedesktop attribute conventions, which stand in for a quarantine.
constexpr std::array<const char*, 2> downloadMarks = {"user.xdg.origin.url", "user.xdg.referrer.url"};

void clearDownloadMarks(const fs::path& item, fs::file_type type) {
    // The kernel keeps user attributes only on regular files and directories; asking about any other
    // item would fail with EPERM.
    if (type != fs::file_type::regular && type != fs::file_type::directory) return;
    for (const char* mark : downloadMarks) {
        if (::lremovexattr(item.c_str(), mark) == 0) continue;
        // Absent, or a file system without user attributes, which therefore carries no mark.
        if (errno == ENODATA || errno == ENOTSUP) continue;
        installer.error("Could not clear quarantine on " + item.string() + ": " +
                        platform::SystemError{"lremovexattr", errno}.reason());
    }
}

// Clears the marks on `root` and everything below it; links are listed, never followed. Problems
// while listing are ignored and the operation never fails.
void removeQuarantine(const fs::path& root) {
    std::error_code error;
    clearDownloadMarks(root, fs::symlink_status(root, error).type());
    fs::recursive_directory_iterator items(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && items != fs::recursive_directory_iterator(); items.increment(error))
        clearDownloadMarks(items->path(), items->symlink_status(error).type());
}

// Writes every file of the staged copy to disk before it takes the installed name, so that a power
// loss after the exchange cannot leave empty files in place of the bundle.
tl::expected<void, std::string> flush(const fs::path& staged) {
    platform::UniqueFd directory(::open(staged.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid() || ::syncfs(directory.get()) != 0)
        return tl::unexpected("Could not flush \"" + staged.string() +
                              "\": " + platform::SystemError{"syncfs", errno}.reason());
    return {};
}

using Copied = tl::expected<void, std::string>;

Copied copyFailed(const fs::path& from, const fs::path& to, const char* call, int error = errno) {
    return tl::unexpected("Could not copy \"" + from.string() + "\" to \"" + to.string() +
                          "\": " + platform::SystemError{call, error}.reason());
}

// The file's bytes, then its permission bits, checking every write, the flush and the close: a full
// disk shows at any of them.
Copied copyFile(const fs::path& from, const fs::path& to, mode_t mode) {
    platform::UniqueFd in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) return copyFailed(from, to, "open");
    platform::UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) return copyFailed(from, to, "open");
    std::vector<char> buffer(1 << 17);
    for (;;) {
        auto count = ::read(in.get(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return copyFailed(from, to, "read");
        if (count == 0) break;
        for (ssize_t done = 0; done < count;) {
            auto written = ::write(out.get(), buffer.data() + done, static_cast<size_t>(count - done));
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) return copyFailed(from, to, "write");
            done += written;
        }
    }
    if (::fchmod(out.get(), mode & 07777) != 0) return copyFailed(from, to, "fchmod");
    if (::fsync(out.get()) != 0) return copyFailed(from, to, "fsync");
    if (::close(out.release()) != 0) return copyFailed(from, to, "close");
    return {};
}

// Copies the item at `from` to the new path `to`, folders whole and links as links. Every item gets
// the source's permission bits set explicitly, never through the umask: they are part of the signature.
Copied copyTree(const fs::path& from, const fs::path& to) {
    struct stat status {};
    if (::lstat(from.c_str(), &status) != 0) return copyFailed(from, to, "lstat");
    if (S_ISREG(status.st_mode)) return copyFile(from, to, status.st_mode);
    if (S_ISLNK(status.st_mode)) {
        std::error_code error;
        auto target = fs::read_symlink(from, error);
        if (error) return copyFailed(from, to, "readlink", error.value());
        if (::symlink(target.c_str(), to.c_str()) != 0) return copyFailed(from, to, "symlink");
        return {};
    }
    if (!S_ISDIR(status.st_mode)) return copyFailed(from, to, "lstat", EINVAL);
    // Private while it fills; its own bits once complete, so a read-only folder can still be filled.
    if (::mkdir(to.c_str(), 0700) != 0) return copyFailed(from, to, "mkdir");
    std::error_code error;
    for (fs::directory_iterator items(from, error); !error && items != fs::directory_iterator();
         items.increment(error))
        if (auto copied = copyTree(items->path(), to / items->path().filename()); !copied) return copied;
    if (error) return copyFailed(from, to, "readdir", error.value());
    if (::chmod(to.c_str(), status.st_mode & 07777) != 0) return copyFailed(from, to, "chmod");
    return {};
}

// Copies `source` whole beside `destination` under a fresh staged name, flushes it, and exchanges
// it with whatever is at `destination` in one step; the previous bundle is removed afterwards.
tl::expected<void, std::string> replaceInstalledBundle(const fs::path& source, const fs::path& destination) {
    auto parent = destination.parent_path();
    if (auto created = core::HelperUpdaterIO::createDirectories(parent); !created) return created;
    auto staged =
        parent / (std::string(Identity::stagedBundlePrefix) + core::HelperUpdaterIO::makeRunIdentifier());
    auto copied = copyTree(source, staged);
    if (copied) copied = flush(staged);
    if (!copied) {
        // Nothing refers to a partial copy; leave no staged name behind for it.
        core::HelperUpdaterIO::removeItem(staged);
        return copied;
    }
    return core::HelperUpdaterIO::replaceItem(destination, staged);
}

// Runs the bundle's executable with `arguments`, sharing this process's environment and standard
// streams, and gives its exit status.
tl::expected<int, std::string> runInstalledCopy(const fs::path& bundle,
                                                const std::vector<std::string>& arguments) {
    auto executable = Identity::executableURL(bundle);
    auto status = runChild(executable, arguments, ChildOutput::inherited);
    if (!status)
        return tl::unexpected("Could not start \"" + executable.string() + "\": " + status.error().reason());
    return *status;
}

int installFailed(const std::string& description) {
    installer.error("Install failed: " + description);
    core::HelperLog::standardError("Install failed: " + description);
    return 1;
}

struct Outcome {
    const char* label;
    std::string detail;
    int exitStatus;
};

Outcome registrationOutcome(const tl::expected<void, std::string>& registered, AgentUnits::Status status,
                            const tl::expected<void, std::string>& startable) {
    using AgentUnits::Status;
    // An agent that would not start this bundle is no success, whatever the manager says of it.
    if (status != Status::notRegistered && !startable)
        return {"failed", registered ? startable.error() : registered.error(), 1};
    // An agent already registered and enabled counts as registered whatever the step reported.
    if (status == Status::enabled) return {"registered", {}, 0};
    if (!registered) return {"failed", registered.error(), 1};
    if (status == Status::requiresApproval) return {"requiresApproval", {}, 0};
    return {"failed", {}, 1};
}

}  // namespace

bool isRunningFromInstallLocation() {
    auto installed = Identity::installedBundleURL(platform::currentHomeDirectory());
    return resolved(core::HelperBundle::bundleURL()) == resolved(installed);
}

int runInstall() {
    auto source = standardized(core::HelperBundle::bundleURL());
    auto destination = standardized(Identity::installedBundleURL(platform::currentHomeDirectory()));
    if (!core::HelperBundle::isRunningFromApplicationBundle()) {
        core::HelperLog::standardError("--install must run from inside " +
                                       std::string(Identity::bundleFileName) + ".");
        return 64;
    }
    if (source == destination) {
        installer.info("Already at the install location; registering in place");
    } else {
        installer.info("Installing " + source.string() + " to " + destination.string());
        // A bundle that could not be registered must not stop the agent or replace a working copy.
        if (auto complete = AgentUnits::checkBundleUnits(source); !complete)
            return installFailed(complete.error());
        AgentUnits::stopRunningAgent();
        if (auto replaced = replaceInstalledBundle(source, destination); !replaced)
            return installFailed(replaced.error());
    }
    removeQuarantine(destination);
    auto status = runInstalledCopy(destination, {"--register"});
    return status ? *status : installFailed(status.error());
}

int runRegister(RunningAgent restartRunningAgent) {
    if (!core::HelperBundle::isRunningFromApplicationBundle()) {
        core::HelperLog::standardError("--register must run from inside " +
                                       std::string(Identity::bundleFileName) + ".");
        return 64;
    }
    auto bundle = core::HelperBundle::bundleURL();
    auto registered = AgentUnits::registerBundle(bundle);
    auto outcome =
        registrationOutcome(registered, AgentUnits::status(), AgentUnits::checkStartsBundle(bundle));
    installer.info(std::string("Registration status: ") + outcome.label + " " + outcome.detail);
    if (restartRunningAgent == RunningAgent::restart && outcome.label == std::string_view("registered"))
        AgentUnits::restartRunningAgent();
    return outcome.exitStatus;
}

}  // namespace velmora::helper::HelperInstaller
