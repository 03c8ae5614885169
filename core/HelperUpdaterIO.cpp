#include "core/HelperUpdaterIO.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "codesign/ExecutionPolicy.h"
#include "codesign/StaticCode.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::core::HelperUpdaterIO {

namespace fs = std::filesystem;

namespace {

std::string describeRename(const fs::path& from, const fs::path& to, int code) {
    return "Could not move \"" + from.string() + "\" to \"" + to.string() +
           "\": " + platform::SystemError{"renameat2", code}.reason();
}

// Makes a finished rename durable. A failure here does not undo the rename, so it is not reported.
void syncDirectory(const fs::path& directory) noexcept {
    platform::UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) (void)::fsync(fd.get());
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

void removeItem(const fs::path& path) noexcept {
    std::error_code error;
    fs::remove_all(path, error);
}

bool itemExists(const fs::path& path) noexcept {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

tl::expected<void, std::string> moveItem(const fs::path& source, const fs::path& destination) {
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) != 0)
        return tl::unexpected(describeRename(source, destination, errno));
    return {};
}

tl::expected<void, std::string> replaceItem(const fs::path& installed, const fs::path& staged) {
    // Another process may create or remove the installed item between our calls; each outcome is
    // retried with the other operation, a few times at most.
    int lastError = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, installed.c_str(), RENAME_EXCHANGE) == 0) {
            syncDirectory(installed.parent_path());
            // The previous bundle now sits at the staged name.
            removeItem(staged);
            return {};
        }
        lastError = errno;
        if (lastError != ENOENT) break;
        if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, installed.c_str(), RENAME_NOREPLACE) == 0) {
            syncDirectory(installed.parent_path());
            return {};
        }
        lastError = errno;
        if (lastError != EEXIST) break;
    }
    return tl::unexpected(describeRename(staged, installed, lastError));
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
