#include "codesign/ProcessMappings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "codesign/ProcessRoot.h"
#include "platform/UniqueFd.h"

namespace velmora::codesign {

namespace {

// The user and group ids a process may act as: any of them may change a file.
struct Identity {
    std::set<uid_t> users;
    std::set<gid_t> groups;
    pid_t tracer = -1;

    [[nodiscard]] bool root() const { return users.contains(0); }
    // Write access, or the ownership that grants it at will (the owner may chmod).
    [[nodiscard]] bool canWrite(const struct stat& status) const {
        if (users.contains(status.st_uid)) return true;
        if (groups.contains(status.st_gid) && (status.st_mode & S_IWGRP) != 0) return true;
        return (status.st_mode & S_IWOTH) != 0;
    }
};

std::optional<std::string> readWhole(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return file.bad() ? std::nullopt : std::optional(text.str());
}

std::optional<Identity> identityFrom(const std::string& status) {
    Identity identity;
    bool sawUsers = false, sawTracer = false;
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line.substr(line.find(':') + 1));
        if (line.starts_with("Uid:")) {
            for (uid_t id; fields >> id;) identity.users.insert(id);
            sawUsers = !identity.users.empty();
        } else if (line.starts_with("Gid:") || line.starts_with("Groups:")) {
            for (gid_t id; fields >> id;) identity.groups.insert(id);
        } else if (line.starts_with("TracerPid:")) {
            sawTracer = static_cast<bool>(fields >> identity.tracer);
        }
    }
    if (!sawUsers || !sawTracer) return std::nullopt;
    return identity;
}

struct Mapping {
    std::string range;
    bool executable = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
};

std::optional<Mapping> parseMapping(const std::string& line) {
    std::istringstream fields(line);
    Mapping mapping;
    std::string permissions, offset, device;
    if (!(fields >> mapping.range >> permissions >> offset >> device >> mapping.inode)) return std::nullopt;
    unsigned major = 0, minor = 0;
    if (permissions.size() < 3 || std::sscanf(device.c_str(), "%x:%x", &major, &minor) != 2)
        return std::nullopt;
    mapping.executable = permissions[2] == 'x';
    mapping.device = makedev(major, minor);
    std::getline(fields >> std::ws, mapping.path);
    return mapping;
}

std::string describe(const Mapping& mapping) {
    return mapping.range + " " + (mapping.path.empty() ? std::string("(anonymous)") : mapping.path);
}

// Passes when no user of `identity` can change or replace the file at `path` (already opened as
// `file`); otherwise why one could.
tl::expected<void, std::string> unchangeableBy(const Identity& identity, const std::string& path,
                                               const struct stat& file) {
    auto unsafe = [&](const struct stat& status) {
        if (identity.root()) return status.st_uid != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        return identity.canWrite(status);
    };
    if (unsafe(file)) return tl::unexpected("its user can change " + path);
    struct stat below = file;
    for (std::string folder = path; folder != "/";) {
        folder.erase(std::max<size_t>(folder.rfind('/'), 1));
        struct stat status {};
        if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            return tl::unexpected("the folder " + folder + " of " + path + " cannot be examined");
        // In a sticky folder only an entry's owner (or the folder's) may remove or rename it.
        bool protectedEntry = !identity.root() && (status.st_mode & S_ISVTX) != 0 &&
                              !identity.users.contains(status.st_uid) &&
                              !identity.users.contains(below.st_uid);
        if (unsafe(status) && !protectedEntry)
            return tl::unexpected("its user can replace " + path + " in " + folder);
        below = status;
    }
    return {};
}

bool sealedIn(const ValidatedBundle& bundle, const struct stat& file) {
    const std::int64_t changedNs = file.st_ctim.tv_sec * 1'000'000'000LL + file.st_ctim.tv_nsec;
    return std::any_of(bundle.items.begin(), bundle.items.end(), [&](const ScannedItem& item) {
        return item.resource.type == ResourceEntry::Type::file && item.identity.device == file.st_dev &&
               item.identity.inode == file.st_ino && item.identity.changedNs == changedNs;
    });
}

tl::expected<void, std::string> checkMapping(const Mapping& mapping, const ProcessRoot& root,
                                             const ValidatedBundle& bundle, const Identity& identity) {
    if (mapping.inode == 0) {
        if (mapping.path == "[vdso]" || mapping.path == "[vsyscall]") return {};
        return tl::unexpected("anonymous executable memory " + describe(mapping));
    }
    if (!mapping.path.starts_with('/')) return tl::unexpected("unexpected path of " + describe(mapping));
    // Opened as the process sees it, so that a sandboxed client's paths mean what they mean to it.
    platform::UniqueFd opened = root.openInView(mapping.path, O_PATH);
    struct stat file {};
    if (!opened.valid() || ::fstat(opened.get(), &file) != 0 || file.st_dev != mapping.device ||
        file.st_ino != mapping.inode)
        return tl::unexpected("its path does not lead to the mapped file " + describe(mapping));
    if (sealedIn(bundle, file)) return {};
    // Anything else is judged by who can write it where it really lives: on our side of a sandbox.
    auto host = root.sharesOurView() ? std::optional<std::filesystem::path>(mapping.path)
                                     : root.hostPath(mapping.path, mapping.device, mapping.inode);
    if (!host)
        return tl::unexpected("the file cannot be found outside its sandbox: executable mapping " +
                              describe(mapping));
    if (auto safe = unchangeableBy(identity, host->string(), file); !safe)
        return tl::unexpected(safe.error() + ": executable mapping " + describe(mapping));
    return {};
}

}  // namespace

tl::expected<void, std::string> checkMappedCode(const ProcessRoot& root, const ValidatedBundle& bundle) {
    const std::string proc = "/proc/" + std::to_string(root.pid());
    auto maps = readWhole(proc + "/maps");
    auto status = readWhole(proc + "/status");
    std::optional<Identity> identity = status ? identityFrom(*status) : std::nullopt;
    if (!maps || !identity) return tl::unexpected(std::string("its mappings cannot be read"));
    if (identity->tracer != 0)
        return tl::unexpected("it is traced by pid " + std::to_string(identity->tracer));
    std::istringstream lines(*maps);
    for (std::string line; std::getline(lines, line);) {
        auto mapping = parseMapping(line);
        if (!mapping) return tl::unexpected("unreadable mapping " + line);
        if (!mapping->executable) continue;
        if (auto passed = checkMapping(*mapping, root, bundle, *identity); !passed) return passed;
    }
    return {};
}

}  // namespace velmora::codesign
