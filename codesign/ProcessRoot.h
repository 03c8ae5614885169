#pragma once

// Files as another process sees them. A client in a sandbox (Flatpak, bubblewrap) has a mount namespace
// and a root of its own: the paths it names (its executable, its mapped libraries) mean something else
// here, or nothing. Everything it names is therefore opened through its root, and a file it sees can be
// translated into the path under which this process sees the same file, when there is one.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "platform/UniqueFd.h"

namespace velmora::codesign {

class ProcessRoot {
  public:
    // Opens the root of process `pid` (/proc/<pid>/root). The pid is trusted only while `pidfd` (which
    // must name the same process) is alive once the root is open: a pid reused since fails here.
    [[nodiscard]] static tl::expected<ProcessRoot, std::string> open(pid_t pid, int pidfd);

    // Opens `path` (absolute, in the process's view) with openat2 from its root: links inside resolve
    // against that root, ".." never climbs out of it, and no /proc magic link is followed. `resolve`
    // adds RESOLVE_* flags. On failure the descriptor is invalid and errno says why.
    [[nodiscard]] platform::UniqueFd openInView(const std::filesystem::path& path, int flags,
                                                std::uint64_t resolve = 0) const;

    // Where this process sees the file that the process sees at `clientPath` (absolute, no links, as
    // /proc/<pid>/exe and /proc/<pid>/maps give it), confirmed to be the file with `device` and `inode`
    // both in the process's view and here, and reached here through no link. Found through the mount
    // that holds the file in the process's view (its source and the folder of that source it shows),
    // matched against this process's mounts of the same source. None when the file is not the one
    // named, or is not reachable here (a tmpfs of the sandbox's own, a mount hidden from us): a caller
    // judging the file by its host folders must then refuse. Reads the two mount tables once per object;
    // use from one thread.
    [[nodiscard]] std::optional<std::filesystem::path> hostPath(const std::filesystem::path& clientPath,
                                                                dev_t device, ino_t inode) const;

    // True when the process shares this process's mount namespace and root: its paths are ours.
    [[nodiscard]] bool sharesOurView() const { return sharesOurView_; }
    [[nodiscard]] pid_t pid() const { return pid_; }

  private:
    struct Mount {
        std::uint64_t id = 0;
        std::string device;  // "major:minor" of the mounted filesystem
        std::filesystem::path root;
        std::filesystem::path mountPoint;
    };
    ProcessRoot(pid_t pid, platform::UniqueFd root, bool sharesOurView)
        : pid_(pid), root_(std::move(root)), sharesOurView_(sharesOurView) {}
    [[nodiscard]] static std::vector<Mount> readMounts(const std::string& file);

    pid_t pid_;
    platform::UniqueFd root_;
    bool sharesOurView_;
    mutable std::optional<std::vector<Mount>> theirMounts_, ourMounts_;
};

// One translation, for a caller that asks once: ProcessRoot::open(pid, pidfd) then hostPath. Without a
// pidfd, the answer is still about the file (it is confirmed by device and inode), but which mounts
// were consulted is not pinned to the process.
[[nodiscard]] std::optional<std::filesystem::path> hostPath(pid_t pid,
                                                            const std::filesystem::path& clientPath,
                                                            dev_t device, ino_t inode);

}  // namespace velmora::codesign
