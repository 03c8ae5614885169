#include "codesign/BundleScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "codesign/OpenSSLLifetime.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::codesign {

using platform::UniqueFd;

namespace {

// Deeper than any real bundle; bounds the walk's recursion.
constexpr int kMaxDepth = 64;

CodeSignError walkFailed(const std::string& path, const char* call, int code) {
    return CodeSignError{Status::bundleWalkFailed, "\"" + path + "\" could not be read: " +
                                                       platform::SystemError{call, code}.reason() + "."};
}

std::string hex(const unsigned char* digest, unsigned int length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0xf];
    }
    return text;
}

CodeSignError cancelledCheck() {
    return CodeSignError{Status::checkCancelled, "The check was cancelled."};
}

// `cancelled` is asked every few MiB: one large file is no single step for a client that hung up.
tl::expected<std::string, CodeSignError> sha256Of(int fd, const std::string& path,
                                                  const Cancelled& cancelled) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return tl::unexpected(walkFailed(path, "EVP_DigestInit_ex", ENOMEM));
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // Not zeroed: only the pages a read fills become resident, and they go with the thread.
    constexpr size_t kBufferSize = 1 << 18;
    static thread_local std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBufferSize]);
    for (unsigned reads = 1;; ++reads) {
        if (cancelled && reads % 16 == 0 && cancelled()) return tl::unexpected(cancelledCheck());
        ssize_t n = ::read(fd, buffer.get(), kBufferSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            return tl::unexpected(walkFailed(path, "read", errno));
        }
        if (n == 0) break;
        EVP_DigestUpdate(context.get(), buffer.get(), static_cast<size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    return hex(digest, length);
}

bool isSignatureItem(std::string_view path) {
    return path == kSignatureDirectory || path == kResourcesPath || path == kSignaturePath;
}

struct Walker {
    const HashFilter& hashes;
    const Cancelled& cancelled;
    BundleScan scan;

    tl::expected<void, CodeSignError> walk(int directoryFd, const std::string& prefix, int depth) {
        if (depth > kMaxDepth) return tl::unexpected(walkFailed(prefix, "openat", ELOOP));
        UniqueFd listing(::dup(directoryFd));
        if (!listing.valid()) return tl::unexpected(walkFailed(prefix, "dup", errno));
        struct CloseDirectory {
            void operator()(DIR* directory) const { ::closedir(directory); }
        };
        std::unique_ptr<DIR, CloseDirectory> directory(::fdopendir(listing.get()));
        if (!directory) return tl::unexpected(walkFailed(prefix, "fdopendir", errno));
        (void)listing.release();
        ::rewinddir(directory.get());
        std::vector<std::string> names;
        errno = 0;
        while (dirent* entry = ::readdir(directory.get())) {
            std::string_view name = entry->d_name;
            if (name != "." && name != "..") names.emplace_back(name);
        }
        if (errno != 0) return tl::unexpected(walkFailed(prefix, "readdir", errno));
        for (const auto& name : names) {
            if (cancelled && cancelled()) return tl::unexpected(cancelledCheck());
            std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (auto visited = visit(directoryFd, name, path, depth); !visited) return visited;
        }
        return {};
    }

    tl::expected<void, CodeSignError> visit(int directoryFd, const std::string& name, const std::string& path,
                                            int depth) {
        struct stat status {};
        if (::fstatat(directoryFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            return tl::unexpected(walkFailed(path, "fstatat", errno));
        ScannedItem item;
        item.resource.path = path;
        item.resource.mode = status.st_mode & 07777;
        item.identity = identityOf(status);
        auto& into = isSignatureItem(path) ? scan.signatureItems : scan.items;
        if (S_ISDIR(status.st_mode)) {
            item.resource.type = ResourceEntry::Type::directory;
            UniqueFd child(
                ::openat(directoryFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child.valid()) return tl::unexpected(walkFailed(path, "openat", errno));
            into.push_back(std::move(item));
            return walk(child.get(), path, depth + 1);
        }
        if (S_ISLNK(status.st_mode)) {
            item.resource.type = ResourceEntry::Type::link;
            std::string target(static_cast<size_t>(status.st_size) + 1, '\0');
            ssize_t n = ::readlinkat(directoryFd, name.c_str(), target.data(), target.size());
            if (n < 0) return tl::unexpected(walkFailed(path, "readlinkat", errno));
            if (static_cast<size_t>(n) >= target.size())
                return tl::unexpected(walkFailed(path, "readlinkat", EAGAIN));
            target.resize(static_cast<size_t>(n));
            item.resource.payload = std::move(target);
            into.push_back(std::move(item));
            return {};
        }
        if (!S_ISREG(status.st_mode))
            return tl::unexpected(
                CodeSignError{Status::unsupportedFileType,
                              "\"" + path + "\" is neither a file, a folder nor a symbolic link."});
        item.resource.type = ResourceEntry::Type::file;
        if (hashes(path, item.identity)) {
            // O_NONBLOCK: something swapped in for the file after the stat must not stall the walk.
            UniqueFd file(
                ::openat(directoryFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
            if (!file.valid()) return tl::unexpected(walkFailed(path, "openat", errno));
            struct stat opened {};
            if (::fstat(file.get(), &opened) != 0) return tl::unexpected(walkFailed(path, "fstat", errno));
            if (identityOf(opened) != item.identity) return tl::unexpected(walkFailed(path, "fstat", EAGAIN));
            auto digest = sha256Of(file.get(), path, cancelled);
            if (!digest) return tl::unexpected(digest.error());
            // Written while it was read: the digest describes no single state of the file.
            if (::fstat(file.get(), &opened) != 0 || identityOf(opened) != item.identity)
                return tl::unexpected(walkFailed(path, "read", EAGAIN));
            item.resource.payload = std::move(*digest);
        }
        into.push_back(std::move(item));
        return {};
    }
};

}  // namespace

FileIdentity identityOf(const struct stat& status) {
    return FileIdentity{status.st_dev,
                        status.st_ino,
                        status.st_size,
                        status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec,
                        status.st_ctim.tv_sec * 1'000'000'000LL + status.st_ctim.tv_nsec,
                        status.st_mode};
}

std::vector<ResourceEntry> BundleScan::resources() const {
    std::vector<ResourceEntry> out;
    out.reserve(items.size());
    for (const auto& item : items) out.push_back(item.resource);
    return out;
}

std::vector<FileIdentity> BundleScan::fingerprint() const {
    std::vector<FileIdentity> out{top};
    for (const auto* list : {&items, &signatureItems})
        for (const auto& item : *list) out.push_back(item.identity);
    return out;
}

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
    return hex(digest, length);
}

tl::expected<BundleScan, CodeSignError> scanBundle(int bundleFd, Hashing hashing) {
    HashFilter hashes = [hashing](const std::string& path, const FileIdentity&) {
        return hashing == Hashing::contents && !isSignatureItem(path);
    };
    return scanBundle(bundleFd, hashes);
}

tl::expected<BundleScan, CodeSignError> scanBundle(int bundleFd, const HashFilter& hashes,
                                                   const Cancelled& cancelled) {
    Walker walker{hashes, cancelled, {}};
    struct stat status {};
    if (::fstat(bundleFd, &status) != 0) return tl::unexpected(walkFailed(".", "fstat", errno));
    walker.scan.top = identityOf(status);
    if (auto walked = walker.walk(bundleFd, "", 0); !walked) return tl::unexpected(std::move(walked.error()));
    auto byPath = [](const ScannedItem& a, const ScannedItem& b) {
        return a.resource.path < b.resource.path;
    };
    std::sort(walker.scan.items.begin(), walker.scan.items.end(), byPath);
    std::sort(walker.scan.signatureItems.begin(), walker.scan.signatureItems.end(), byPath);
    return std::move(walker.scan);
}

}  // namespace velmora::codesign
