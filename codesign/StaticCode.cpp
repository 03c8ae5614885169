#include "codesign/StaticCode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Far above any real resource list or signature; bounds what a bundle can make us allocate.
constexpr off_t kMaxSignatureFileSize = 64 << 20;

tl::expected<SignatureFile, CodeSignError> readSignatureFile(int signatureDirectory, const char* name) {
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
    if (!S_ISREG(status.st_mode) || status.st_size > kMaxSignatureFileSize)
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

bool sameIdentity(const BundleScan& scan, std::string_view path, const FileIdentity& identity) {
    for (const auto& item : scan.signatureItems)
        if (item.resource.path == path) return item.identity == identity;
    return false;
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

tl::expected<std::shared_ptr<const ValidatedBundle>, CodeSignError> validateBundle(const OpenedBundle& bundle,
                                                                                   VerificationCache* cache) {
    if (cache) {
        auto walked = scanBundle(bundle.directory.get(), Hashing::metadataOnly);
        if (!walked) return tl::unexpected(walked.error());
        if (auto known = cache->find(bundle.path, walked->fingerprint(), std::time(nullptr))) return known;
    }
    UniqueFd signatureDirectory(::openat(bundle.directory.get(), std::string(kSignatureDirectory).c_str(),
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!signatureDirectory.valid())
        return tl::unexpected(CodeSignError{Status::unsigned_, "The bundle is not signed."});
    auto resourcesFile = readSignatureFile(signatureDirectory.get(), "CodeResources");
    if (!resourcesFile) return tl::unexpected(resourcesFile.error());
    auto signatureFile = readSignatureFile(signatureDirectory.get(), "CodeSignature");
    if (!signatureFile) return tl::unexpected(signatureFile.error());

    auto chain = verifySignatureOver(resourcesFile->bytes, signatureFile->bytes);
    if (!chain) return tl::unexpected(chain.error());
    auto sealed = parseCodeResources(resourcesFile->bytes);
    if (!sealed) return tl::unexpected(sealed.error());

    auto scan = scanBundle(bundle.directory.get(), Hashing::contents);
    if (!scan) return tl::unexpected(scan.error());
    auto onDisk = scan->resources();
    if (auto escaping = findEscapingLink(onDisk)) return tl::unexpected(*escaping);
    if (auto difference = compareResources(sealed->entries, onDisk)) return tl::unexpected(*difference);

    auto validated = std::make_shared<ValidatedBundle>();
    validated->path = bundle.path;
    validated->signing.identifier = sealed->identifier;
    std::tie(validated->signing.validFrom, validated->signing.validUntil) = validityWindow(*chain);
    validated->signing.chain = std::move(*chain);
    validated->items = scan->items;
    // Only what was checked is remembered: the signature files must be the ones read above.
    if (cache && sameIdentity(*scan, kResourcesPath, resourcesFile->identity) &&
        sameIdentity(*scan, kSignaturePath, signatureFile->identity))
        cache->remember(scan->fingerprint(), validated);
    return validated;
}

tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkValidity(
    const fs::path& bundle, std::string_view requirementText, VerificationCache* cache) {
    auto opened = openBundle(bundle);
    if (!opened) return tl::unexpected(bundleUnreadableText(opened.error().status));
    return checkValidity(*opened, requirementText, cache);
}

tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkValidity(
    const OpenedBundle& bundle, std::string_view requirementText, VerificationCache* cache) {
    auto requirement = Requirement::parse(requirementText);
    if (!requirement) return tl::unexpected(requirementUnbuildableText(requirement.error().status));
    auto validated = validateBundle(bundle, cache);
    if (!validated) return tl::unexpected(validated.error().description);
    if (!requirement->isSatisfiedBy((*validated)->signing))
        return tl::unexpected(requirementUnsatisfiedText(Status::requirementFailed));
    return *validated;
}

}  // namespace velmora::codesign
