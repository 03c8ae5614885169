#include "codesign/VerificationCache.h"

#include "codesign/StaticCode.h"

namespace velmora::codesign {

std::shared_ptr<const ValidatedBundle> VerificationCache::find(const std::filesystem::path& bundle,
                                                               const std::vector<FileIdentity>& fingerprint,
                                                               std::time_t now) {
    std::lock_guard lock(mutex_);
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        if (entry->bundle->path != bundle) continue;
        const auto& signing = entry->bundle->signing;
        if (entry->fingerprint != fingerprint || now < signing.validFrom || now > signing.validUntil) {
            entries_.erase(entry);
            return nullptr;
        }
        entries_.splice(entries_.begin(), entries_, entry);
        return entries_.front().bundle;
    }
    return nullptr;
}

void VerificationCache::remember(std::vector<FileIdentity> fingerprint,
                                 std::shared_ptr<const ValidatedBundle> bundle) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& entry) { return entry.bundle->path == bundle->path; });
    entries_.push_front(Entry{std::move(fingerprint), std::move(bundle)});
    if (entries_.size() > capacity_) entries_.pop_back();
}

}  // namespace velmora::codesign
