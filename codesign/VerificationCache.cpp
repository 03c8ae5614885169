#include "codesign/VerificationCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <utility>

#include "codesign/StaticCode.h"

namespace velmora::codesign {

namespace {

constexpr long kFuseMagic = 0x65735546;  // fuse and fuseblk
constexpr unsigned kLoopMajor = 7;

std::vector<ResourceEntry> listingOf(const BundleScan& scan,
                                     const std::map<std::string, FileIdentity>& hashed) {
    std::vector<ResourceEntry> out;
    for (const auto* list : {&scan.items, &scan.signatureItems})
        for (const auto& item : *list) {
            out.push_back(item.resource);
            if (item.resource.type == ResourceEntry::Type::file && !hashed.contains(item.resource.path))
                out.back().payload.clear();
        }
    return out;
}

}  // namespace

std::map<std::string, FileIdentity> VerificationCache::filesToHash(const std::filesystem::path& bundle) {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_)
        if (entry.bundle->path == bundle) return entry.rehashed;
    return {};
}

std::shared_ptr<const ValidatedBundle> VerificationCache::find(const std::filesystem::path& bundle,
                                                               const BundleScan& scan, std::time_t now) {
    std::shared_ptr<const ValidatedBundle> found;
    bool restored = false;
    {
        std::lock_guard lock(mutex_);
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if (entry->bundle->path != bundle) continue;
            const auto& signing = entry->bundle->signing;
            if (entry->fingerprint != scan.fingerprint() ||
                entry->listing != listingOf(scan, entry->rehashed) || now < signing.validFrom ||
                now > signing.validUntil) {
                entries_.erase(entry);
                return nullptr;
            }
            entries_.splice(entries_.begin(), entries_, entry);
            restored = std::exchange(entries_.front().restored, false);
            found = entries_.front().bundle;
            break;
        }
    }
    if (found && restored && observer_.restoredFound) observer_.restoredFound(found->path);
    return found;
}

std::vector<VerificationCache::Entry> VerificationCache::entries() {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

void VerificationCache::restore(std::vector<Entry> entries) {
    std::lock_guard lock(mutex_);
    for (auto& entry : entries) {
        if (entries_.size() >= capacity_) break;
        if (std::any_of(entries_.begin(), entries_.end(),
                        [&](const Entry& held) { return held.bundle->path == entry.bundle->path; }))
            continue;
        entry.restored = true;
        entries_.push_back(std::move(entry));
    }
}

void VerificationCache::remember(const BundleScan& scan, std::int64_t hashingBeganNs,
                                 std::shared_ptr<const ValidatedBundle> bundle) {
    Entry entry{scan.fingerprint(), {}, {}, std::move(bundle)};
    for (const auto* list : {&scan.items, &scan.signatureItems})
        for (const auto& item : *list)
            if (item.resource.type == ResourceEntry::Type::file &&
                item.identity.changedNs > hashingBeganNs - kTimestampAllowanceNs)
                entry.rehashed.emplace(item.resource.path, item.identity);
    entry.listing = listingOf(scan, entry.rehashed);
    {
        std::lock_guard lock(mutex_);
        std::erase_if(entries_, [&](const Entry& old) { return old.bundle->path == entry.bundle->path; });
        entries_.push_front(std::move(entry));
        if (entries_.size() > capacity_) entries_.pop_back();
    }
    if (observer_.remembered) observer_.remembered();
}

bool statIsTrustworthy(int fd) {
    struct statfs fileSystem {};
    struct stat status {};
    if (::fstatfs(fd, &fileSystem) != 0 || ::fstat(fd, &status) != 0) return false;
    if (fileSystem.f_type == kFuseMagic) return false;
    if (::major(status.st_dev) != kLoopMajor) return true;
    std::ifstream backing("/sys/dev/block/" + std::to_string(::major(status.st_dev)) + ":" +
                          std::to_string(::minor(status.st_dev)) + "/loop/backing_file");
    std::string path;
    struct stat image {};
    return std::getline(backing, path) && ::stat(path.c_str(), &image) == 0 && image.st_uid == 0 &&
           (image.st_mode & 022) == 0;
}

}  // namespace velmora::codesign
