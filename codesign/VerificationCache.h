#pragma once

#include <ctime>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "codesign/BundleScan.h"

namespace velmora::codesign {

struct ValidatedBundle;

// Bundles that passed, each with the identity (device, inode, size, modification and change times,
// mode) of the bundle folder and of every item in it, signature files included. A lookup walks the
// bundle and stats every item, but reads no file: when every identity is the same, nothing can have
// been written, added, removed, renamed or re-moded since the bundle passed. The certificates' validity
// is checked again on every hit. Holds at most `capacity` bundles, dropping the least recently used.
// Safe to use from any thread.
class VerificationCache {
  public:
    explicit VerificationCache(size_t capacity = 32) : capacity_(capacity) {}

    [[nodiscard]] std::shared_ptr<const ValidatedBundle> find(const std::filesystem::path& bundle,
                                                              const std::vector<FileIdentity>& fingerprint,
                                                              std::time_t now);
    void remember(std::vector<FileIdentity> fingerprint, std::shared_ptr<const ValidatedBundle> bundle);

  private:
    struct Entry {
        std::vector<FileIdentity> fingerprint;
        std::shared_ptr<const ValidatedBundle> bundle;
    };
    const size_t capacity_;
    std::mutex mutex_;
    std::list<Entry> entries_;  // most recently used first
};

}  // namespace velmora::codesign
