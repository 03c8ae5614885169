#include "codesign/StaticCode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <set>

#include "codesign/Requirement.h"
#include "codesign/VerificationCache.h"
#include "platform/SystemError.h"

namespace velmora::codesign {

namespace fs = std::filesystem;
using platform::UniqueFd;

namespace {

// A signature file, read through no link, with its identity as read.
struct SignatureFile {
    std::string bytes;
    FileIdentity identity;
};

// Far above any real resource list or signature (a chain of 16 certificates is some 30 KiB); bounds what
// a bundle can make us allocate and parse.
constexpr off_t kMaxResourcesFileSize = 64 << 20;
constexpr off_t kMaxSignatureFileSize = 256 << 10;

tl::expected<SignatureFile, CodeSignError> readSignatureFile(int signatureDirectory, const char* name,
                                                             off_t maxSize) {
    std::string path = std::string(kSignatureDirectory) + "/" + name;
    UniqueFd file(::openat(signatureDirectory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0) {
        if (errno == ENOENT)
            return tl::unexpected(CodeSignError{Status::unsigned_, "The bundle is not signed."});
        return tl::unexpected(CodeSignError{Status::bundleWalkFailed,
                                            "\"" + path + "\" could not be read: " +
                                                platform::SystemError::fromErrno("openat").reason() + "."});
    }
    if (!S_ISREG(status.st_mode) || status.st_size > maxSize)
        return tl::unexpected(
            CodeSignError{Status::signatureDamaged, "The code signature is damaged or truncated."});
    SignatureFile read{std::string(static_cast<size_t>(status.st_size), '\0'), identityOf(status)};
    size_t done = 0;
    while (done < read.bytes.size()) {
        ssize_t n = ::read(file.get(), read.bytes.data() + done, read.bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    read.bytes.resize(done);
    return read;
}

// The signature file at `path` in `scan` is the one read as `file`; its payload becomes the digest of
// the bytes that were verified, for a cache to compare with while its change time is recent.
bool adoptSignatureFile(BundleScan& scan, std::string_view path, const SignatureFile& file) {
    for (auto& item : scan.signatureItems)
        if (item.resource.path == path) {
            item.resource.payload = sha256Hex(file.bytes);
            return item.identity == file.identity;
        }
    return false;
}

std::int64_t realtimeNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Remembered only where stat can be believed, and only when no mount inside the bundle hides another
// file system.
bool cacheable(int bundleFd, const BundleScan& scan) {
    for (const auto* list : {&scan.items, &scan.signatureItems})
        for (const auto& item : *list)
            if (item.identity.device != scan.top.device) return false;
    return statIsTrustworthy(bundleFd);
}

}  // namespace

const ScannedItem* ValidatedBundle::find(std::string_view relativePath) const {
    for (const auto& item : items)
        if (item.resource.path == relativePath) return &item;
    return nullptr;
}

tl::expected<OpenedBundle, CodeSignError> openBundle(const fs::path& bundle) {
    auto unreadable = tl::unexpected(CodeSignError{Status::bundleUnreadable, {}});
    std::error_code error;
    fs::path canonical = fs::canonical(bundle, error);
    if (error) return unreadable;
    UniqueFd directory(::open(canonical.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return adoptBundle(std::move(directory), std::move(canonical));
}

tl::expected<OpenedBundle, CodeSignError> adoptBundle(UniqueFd directory, fs::path path) {
    auto unreadable = tl::unexpected(CodeSignError{Status::bundleUnreadable, {}});
    if (!directory.valid()) return unreadable;
    struct stat contents {};
    if (::fstatat(directory.get(), "Contents", &contents, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(contents.st_mode))
        return unreadable;
    return OpenedBundle{std::move(path), std::move(directory)};
}

tl::expected<std::shared_ptr<const ValidatedBundle>, CodeSignError> validateBundle(
    const OpenedBundle& bundle, VerificationCache* cache, const Cancelled& cancelled) {
    const std::int64_t began = realtimeNs();
    auto rehashed = cache ? cache->filesToHash(bundle.path) : std::map<std::string, FileIdentity>{};
    auto listed = scanBundle(
        bundle.directory.get(),
        [&](const std::string& path, const FileIdentity& identity) {
            auto known = rehashed.find(path);
            return known != rehashed.end() && known->second == identity;
        },
        cancelled);
    if (!listed) return tl::unexpected(listed.error());
    if (cache)
        if (auto known = cache->find(bundle.path, *listed, std::time(nullptr))) return known;

    UniqueFd signatureDirectory(::openat(bundle.directory.get(), std::string(kSignatureDirectory).c_str(),
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!signatureDirectory.valid())
        return tl::unexpected(CodeSignError{Status::unsigned_, "The bundle is not signed."});
    auto resourcesFile = readSignatureFile(signatureDirectory.get(), "CodeResources", kMaxResourcesFileSize);
    if (!resourcesFile) return tl::unexpected(resourcesFile.error());
    auto signatureFile = readSignatureFile(signatureDirectory.get(), "CodeSignature", kMaxSignatureFileSize);
    if (!signatureFile) return tl::unexpected(signatureFile.error());

    auto chain = verifySignatureOver(resourcesFile->bytes, signatureFile->bytes);
    if (!chain) return tl::unexpected(chain.error());
    auto sealed = parseCodeResources(resourcesFile->bytes);
    if (!sealed) return tl::unexpected(sealed.error());

    // Names, types, modes and links first: what was added, removed or re-typed is refused before any
    // byte of any file is read.
    if (auto contained = findEscapingLink(listed->resources()); !contained)
        return tl::unexpected(contained.error());
    if (auto same = compareResources(sealed->entries, listed->resources(), Comparing::listingOnly); !same)
        return tl::unexpected(same.error());
    // Something added since the listing was taken is refused below without being read.
    std::set<std::string_view> sealedFiles;
    for (const auto& entry : sealed->entries)
        if (entry.type == ResourceEntry::Type::file) sealedFiles.insert(entry.path);
    auto scan = scanBundle(
        bundle.directory.get(),
        [&](const std::string& path, const FileIdentity&) { return sealedFiles.contains(path); }, cancelled);
    if (!scan) return tl::unexpected(scan.error());
    auto onDisk = scan->resources();
    if (auto contained = findEscapingLink(onDisk); !contained) return tl::unexpected(contained.error());
    if (auto same = compareResources(sealed->entries, onDisk); !same) return tl::unexpected(same.error());

    auto validated = std::make_shared<ValidatedBundle>();
    validated->path = bundle.path;
    validated->signing.identifier = sealed->identifier;
    std::tie(validated->signing.validFrom, validated->signing.validUntil) = validityWindow(*chain);
    validated->signing.chain = std::move(*chain);
    validated->items = scan->items;
    // Only what was checked is remembered: the signature files must be the ones read above.
    bool sameSignature = adoptSignatureFile(*scan, kResourcesPath, *resourcesFile);
    sameSignature = adoptSignatureFile(*scan, kSignaturePath, *signatureFile) && sameSignature;
    if (cache && sameSignature && cacheable(bundle.directory.get(), *scan))
        cache->remember(*scan, began, validated);
    return validated;
}

tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkValidity(
    const fs::path& bundle, std::string_view requirementText, VerificationCache* cache,
    const Cancelled& cancelled) {
    auto opened = openBundle(bundle);
    if (!opened) return tl::unexpected(bundleUnreadableText(opened.error().status));
    return checkValidity(*opened, requirementText, cache, cancelled);
}

tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkValidity(
    const OpenedBundle& bundle, std::string_view requirementText, VerificationCache* cache,
    const Cancelled& cancelled) {
    auto requirement = Requirement::parse(requirementText);
    if (!requirement) return tl::unexpected(requirementUnbuildableText(requirement.error().status));
    auto validated = validateBundle(bundle, cache, cancelled);
    if (!validated) return tl::unexpected(validated.error().description);
    if (!requirement->isSatisfiedBy((*validated)->signing))
        return tl::unexpected(requirementUnsatisfiedText(Status::requirementFailed));
    return *validated;
}

}  // namespace velmora::codesign
