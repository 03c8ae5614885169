#include "core/update/HelperUpdaterIO.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#include "codesign/ExecutionPolicy.h"
#include "codesign/StaticCode.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::core::HelperUpdaterIO {

namespace fs = std::filesystem;

namespace {

int systemRename(const char* from, const char* to, unsigned flags) {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
}
std::atomic<RenameFunction> renameFunction{&systemRename};

// 0, or the errno of the failed rename.
int renameItem(const fs::path& from, const fs::path& to, unsigned flags) {
    return renameFunction.load()(from.c_str(), to.c_str(), flags) == 0 ? 0 : errno;
}

// For file systems that refuse RENAME_NOREPLACE (EINVAL; some network homes do). The destinations
// here are fresh UUID names or the installed name, which only the updater writes, so the gap between
// the check and the rename is no race that matters.
int renameIfAbsent(const fs::path& from, const fs::path& to) {
    if (itemExists(to)) return EEXIST;
    return renameItem(from, to, 0);
}

std::string describeRename(const fs::path& from, const fs::path& to, int code) {
    return "Could not move \"" + from.string() + "\" to \"" + to.string() +
           "\": " + platform::SystemError{"renameat2", code}.reason();
}

// Makes a finished rename durable. A failure here does not undo the rename, so it is not reported.
void syncDirectory(const fs::path& directory) noexcept {
    platform::UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) (void)::fsync(fd.get());
}

// Writes every file and directory below `root` to disk, so that a power loss after the exchange finds
// the new bundle whole, not as empty files. Links hold nothing of their own to write.
tl::expected<void, std::string> flushTree(const fs::path& root) {
    auto flush = [](const fs::path& item) -> tl::expected<void, std::string> {
        platform::UniqueFd fd(::open(item.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        // EINVAL: the file system has nothing to flush for this item.
        if (fd.valid() && (::fsync(fd.get()) == 0 || errno == EINVAL)) return {};
        return tl::unexpected("Could not write \"" + item.string() +
                              "\" to disk: " + platform::SystemError::fromErrno("fsync").reason());
    };
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        auto type = it->symlink_status(error).type();
        if (error) break;
        if (type != fs::file_type::regular && type != fs::file_type::directory) continue;
        if (auto flushed = flush(it->path()); !flushed) return flushed;
    }
    if (error) return tl::unexpected("Could not list \"" + root.string() + "\": " + error.message());
    return flush(root);
}

// Without RENAME_EXCHANGE: the installed item steps aside under a staged name, the new one takes its
// place, and the old one is removed. For a moment nothing is installed; a crash then leaves both
// bundles under staged names.
int replaceInSteps(const fs::path& installed, const fs::path& staged) {
    fs::path aside = staged;
    aside += "-previous";
    if (int error = renameIfAbsent(installed, aside)) return error;
    if (int error = renameIfAbsent(staged, installed)) {
        (void)renameIfAbsent(aside, installed);
        return error;
    }
    syncDirectory(installed.parent_path());
    removeItem(aside);
    return 0;
}

}  // namespace

std::string makeRunIdentifier() {
    std::array<unsigned char, 16> bytes{};
    size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // getrandom only fails this way on kernels older than 3.17, which the helper does not run on.
            std::abort();
        }
        filled += static_cast<size_t>(n);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

tl::expected<void, std::string> createDirectories(const fs::path& directory) {
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) return tl::unexpected("Could not create \"" + directory.string() + "\": " + error.message());
    return {};
}

std::int64_t fileSize(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    return static_cast<std::int64_t>(status.st_size);
}

tl::expected<void, std::string> removeTree(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return {};
        return tl::unexpected("\"" + path.string() +
                              "\": " + platform::SystemError::fromErrno("lstat").reason());
    }
    if (S_ISDIR(status.st_mode)) {
        // Without write and search permission its entries cannot go; the owner may always grant both.
        if ((status.st_mode & 0700) != 0700)
            (void)::fchmodat(AT_FDCWD, path.c_str(), (status.st_mode & 07777) | 0700, AT_SYMLINK_NOFOLLOW);
        std::vector<fs::path> entries;
        std::error_code error;
        for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
            entries.push_back(it->path());
        if (error) return tl::unexpected("\"" + path.string() + "\": " + error.message());
        for (const auto& entry : entries)
            if (auto removed = removeTree(entry); !removed) return removed;
        if (::rmdir(path.c_str()) == 0 || errno == ENOENT) return {};
        return tl::unexpected("\"" + path.string() +
                              "\": " + platform::SystemError::fromErrno("rmdir").reason());
    }
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
    return tl::unexpected("\"" + path.string() +
                          "\": " + platform::SystemError::fromErrno("unlink").reason());
}

void removeItem(const fs::path& path) noexcept {
    try {
        (void)removeTree(path);
    } catch (...) {
        // Out of memory while listing: what stays is cleared at the next start.
    }
}

bool itemExists(const fs::path& path) noexcept {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

tl::expected<void, std::string> moveItem(const fs::path& source, const fs::path& destination) {
    int error = renameItem(source, destination, RENAME_NOREPLACE);
    if (error == EINVAL) error = renameIfAbsent(source, destination);
    if (error) return tl::unexpected(describeRename(source, destination, error));
    return {};
}

tl::expected<void, std::string> replaceItem(const fs::path& installed, const fs::path& staged) {
    if (auto flushed = flushTree(staged); !flushed) return flushed;
    // Another process may create or remove the installed item between our calls; each outcome is
    // retried with the other operation, a few times at most.
    int error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        error = renameItem(staged, installed, RENAME_EXCHANGE);
        if (error == EINVAL) error = replaceInSteps(installed, staged);
        if (error == 0) {
            syncDirectory(installed.parent_path());
            // The previous bundle now sits at the staged name (nothing does after replaceInSteps).
            removeItem(staged);
            return {};
        }
        if (error != ENOENT) break;
        error = renameItem(staged, installed, RENAME_NOREPLACE);
        if (error == EINVAL) error = renameIfAbsent(staged, installed);
        if (error == 0) {
            syncDirectory(installed.parent_path());
            return {};
        }
        if (error != EEXIST) break;
    }
    return tl::unexpected(describeRename(staged, installed, error));
}

void setRenameForTesting(RenameFunction rename) {
    renameFunction = rename ? rename : &systemRename;
}

tl::expected<void, kit::HelperUpdateError> verifySignature(const fs::path& bundle) {
    auto checked = codesign::checkValidity(bundle, kit::VelmoraHelperIdentity::helperCodeSigningRequirement);
    if (!checked) return tl::unexpected(kit::HelperUpdateError::signatureRejected(checked.error()));
    return assessWithGatekeeper(bundle);
}

tl::expected<void, kit::HelperUpdateError> assessWithGatekeeper(const fs::path& bundle) {
    auto admitted = codesign::assessExecutionPolicy(kit::VelmoraHelperIdentity::executableURL(bundle));
    if (!admitted)
        return tl::unexpected(kit::HelperUpdateError::signatureRejected(admitted.error().description));
    return {};
}

}  // namespace velmora::core::HelperUpdaterIO
