#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codesign/BundleScan.h"

namespace velmora::codesign {

struct ValidatedBundle;

// Bundles that passed, each with the identity (device, inode, size, modification and change times,
// mode) of the bundle folder and of every item in it, signature files included, and the listing
// (names, types, modes, link targets). A lookup walks the bundle and stats every item: when all
// is the same, nothing can have been added, removed, renamed or re-moded, and a file whose change time
// lay safely in the past when hashing began cannot have been written since.
//
// Timestamps are coarse (a clock tick, a second on some file systems): a file written again within the
// tick of its last write keeps its change time. A file whose change time was within
// `kTimestampAllowanceNs` of the moment hashing began is therefore hashed again on every lookup.
// Nothing is remembered from a file system whose owner decides what stat reports (see
// `statIsTrustworthy`). The certificates' validity is checked again on every hit. Holds at most
// `capacity` bundles, dropping the least recently used. Safe to use from any thread.
class VerificationCache {
  public:
    // More than any file system's timestamp granularity, which Linux does not report.
    static constexpr std::int64_t kTimestampAllowanceNs = 2'000'000'000;

    explicit VerificationCache(size_t capacity = 32) : capacity_(capacity) {}

    // The files of the bundle's entry that a lookup must hash, with the identity each had then; a
    // file is hashed only when it still has that identity.
    [[nodiscard]] std::map<std::string, FileIdentity> filesToHash(const std::filesystem::path& bundle);

    // `scan` made with a filter that hashes exactly `filesToHash`.
    [[nodiscard]] std::shared_ptr<const ValidatedBundle> find(const std::filesystem::path& bundle,
                                                              const BundleScan& scan, std::time_t now);

    // `scan` as verified, its signature items' payloads the digests of the bytes that were verified;
    // `hashingBeganNs` on the realtime clock, taken before anything was read.
    void remember(const BundleScan& scan, std::int64_t hashingBeganNs,
                  std::shared_ptr<const ValidatedBundle> bundle);

    struct Entry {
        std::vector<FileIdentity> fingerprint;
        std::vector<ResourceEntry> listing;  // files' digests only where they are hashed again
        std::map<std::string, FileIdentity> rehashed;
        std::shared_ptr<const ValidatedBundle> bundle;
        bool restored = false;  // came from an earlier process and has not been used since
    };

    // Told, on the thread that looked up or remembered and with no lock held, when a bundle was
    // remembered, and when an entry from an earlier process was first found unchanged.
    struct Observer {
        std::function<void()> remembered;
        std::function<void(const std::filesystem::path& bundle)> restoredFound;
    };
    // Before any lookup.
    void setObserver(Observer observer) { observer_ = std::move(observer); }

    // Every entry, most recently used first.
    [[nodiscard]] std::vector<Entry> entries();
    // Entries an earlier process remembered, added behind the ones already held.
    void restore(std::vector<Entry> entries);

  private:
    const size_t capacity_;
    Observer observer_;
    std::mutex mutex_;
    std::list<Entry> entries_;  // most recently used first
};

// False where what stat reports is the mount owner's to decide, or where the bytes can change beneath
// the file system: FUSE (in any mount namespace), and a loop device whose backing file is not root's.
[[nodiscard]] bool statIsTrustworthy(int fd);

}  // namespace velmora::codesign
