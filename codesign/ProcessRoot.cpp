#include "codesign/ProcessRoot.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/Descriptors.h"
#include "platform/SystemError.h"

namespace velmora::codesign {

namespace fs = std::filesystem;
using platform::UniqueFd;

namespace {

bool alive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

UniqueFd openat2(int directory, const fs::path& path, int flags, std::uint64_t resolve) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = resolve;
    return UniqueFd(static_cast<int>(::syscall(SYS_openat2, directory, path.c_str(), &how, sizeof how)));
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as octal escapes.
fs::path unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            out +=
                static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// `path` below `top`, component-wise ("/a/bc" is not below "/a/b"); none when it is not.
std::optional<fs::path> below(const fs::path& path, const fs::path& top) {
    const std::string& p = path.native();
    const std::string& t = top.native();
    if (t == "/") return fs::path(p.substr(1));
    if (!p.starts_with(t) || (p.size() > t.size() && p[t.size()] != '/')) return std::nullopt;
    return fs::path(p.size() > t.size() ? p.substr(t.size() + 1) : "");
}

}  // namespace

tl::expected<ProcessRoot, std::string> ProcessRoot::open(pid_t pid, int pidfd) {
    std::string proc = "/proc/" + std::to_string(pid);
    UniqueFd root(::open((proc + "/root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid())
        return tl::unexpected("its root cannot be opened: " +
                              platform::SystemError::fromErrno("open").reason());
    struct stat theirs {
    }, ours{}, theirNamespace{}, ourNamespace{};
    bool same = ::fstat(root.get(), &theirs) == 0 && ::stat("/", &ours) == 0 &&
                ::stat((proc + "/ns/mnt").c_str(), &theirNamespace) == 0 &&
                ::stat("/proc/self/ns/mnt", &ourNamespace) == 0 && sameFile(theirs, ours) &&
                sameFile(theirNamespace, ourNamespace);
    if (!alive(pidfd)) return tl::unexpected(std::string("the process has exited"));
    return ProcessRoot(pid, std::move(root), same);
}

UniqueFd ProcessRoot::openInView(const fs::path& path, int flags, std::uint64_t resolve) const {
    return openat2(root_.get(), path, flags, RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS | resolve);
}

std::vector<ProcessRoot::Mount> ProcessRoot::readMounts(const std::string& file) {
    std::vector<Mount> mounts;
    std::ifstream lines(file);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Mount mount;
        std::string parent, root, mountPoint;
        if (!(fields >> mount.id >> parent >> mount.device >> root >> mountPoint)) continue;
        mount.root = unescape(root);
        mount.mountPoint = unescape(mountPoint);
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

std::optional<fs::path> ProcessRoot::hostPath(const fs::path& clientPath, dev_t device, ino_t inode) const {
    if (!clientPath.is_absolute() || clientPath.lexically_normal() != clientPath) return std::nullopt;
    // The file as the process reaches it: the very one named, and through which of its mounts.
    UniqueFd theirs = openInView(clientPath, O_PATH | O_NOFOLLOW, RESOLVE_NO_SYMLINKS);
    struct statx seen {};
    if (!theirs.valid() ||
        ::statx(theirs.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_MNT_ID, &seen) !=
            0 ||
        !(seen.stx_mask & STATX_MNT_ID) || ::makedev(seen.stx_dev_major, seen.stx_dev_minor) != device ||
        seen.stx_ino != inode)
        return std::nullopt;

    std::vector<fs::path> candidates;
    if (sharesOurView_) {
        candidates.push_back(clientPath);
    } else {
        if (!theirMounts_) theirMounts_ = readMounts("/proc/" + std::to_string(pid_) + "/mountinfo");
        if (!ourMounts_) ourMounts_ = readMounts("/proc/self/mountinfo");
        const Mount* holder = nullptr;
        for (const auto& mount : *theirMounts_)
            if (mount.id == seen.stx_mnt_id) holder = &mount;
        auto inMount = holder ? below(clientPath, holder->mountPoint) : std::nullopt;
        if (!inMount) return std::nullopt;
        // The file's path inside its filesystem, then wherever we mount a part of it that holds it.
        fs::path inFilesystem = (holder->root / *inMount).lexically_normal();
        for (const auto& mount : *ourMounts_) {
            if (mount.device != holder->device) continue;
            if (auto rest = below(inFilesystem, mount.root))
                candidates.push_back((mount.mountPoint / *rest).lexically_normal());
        }
    }
    // A candidate may be covered by another mount, or name another file by now: only the file counts.
    for (const auto& candidate : candidates) {
        UniqueFd ours =
            openat2(AT_FDCWD, candidate, O_PATH | O_NOFOLLOW, RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
        struct stat status {};
        if (ours.valid() && ::fstat(ours.get(), &status) == 0 && status.st_dev == device &&
            status.st_ino == inode)
            return candidate.native().size() > 1 && candidate.native().back() == '/' ? candidate.parent_path()
                                                                                     : candidate;
    }
    return std::nullopt;
}

std::optional<fs::path> hostPath(pid_t pid, const fs::path& clientPath, dev_t device, ino_t inode) {
    auto pidfd = platform::openPidfd(pid);
    if (!pidfd) return std::nullopt;
    auto root = ProcessRoot::open(pid, pidfd->get());
    return root ? root->hostPath(clientPath, device, inode) : std::nullopt;
}

}  // namespace velmora::codesign
