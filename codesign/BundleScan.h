#pragma once

// Reading a bundle from disk into its resource list, without following any link inside it.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "codesign/CodeResources.h"

namespace velmora::codesign {

inline constexpr std::string_view kSignatureDirectory = "Contents/_CodeSignature";
inline constexpr std::string_view kResourcesPath = "Contents/_CodeSignature/CodeResources";
inline constexpr std::string_view kSignaturePath = "Contents/_CodeSignature/CodeSignature";

// What the kernel says about one item: enough to know it has not changed since it was last read. A
// write, chmod, link, rename onto it or truncation moves the inode's change time, which no unprivileged
// process can set back.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    mode_t mode = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct ScannedItem {
    ResourceEntry resource;
    FileIdentity identity;
};

struct BundleScan {
    FileIdentity top;
    std::vector<ScannedItem> items;  // sorted by path; the signature files and their folder excluded
    // The signature files and their folder, when present.
    std::vector<ScannedItem> signatureItems;

    [[nodiscard]] std::vector<ResourceEntry> resources() const;
    // The identities of everything, in order: what a cache compares.
    [[nodiscard]] std::vector<FileIdentity> fingerprint() const;
};

// Whether a scan hashes the file at `path` (its identity as stat found it); the others' payloads stay
// empty. Deciding by path keeps a verifier from reading what the seal does not cover.
using HashFilter = std::function<bool(const std::string& path, const FileIdentity& identity)>;

enum class Hashing { contents, metadataOnly };

// Asked between items and every few MiB of a file; once it says yes the walk stops.
using Cancelled = std::function<bool()>;

[[nodiscard]] FileIdentity identityOf(const struct stat& status);

[[nodiscard]] std::string sha256Hex(std::string_view bytes);

// Walks the bundle open at `bundleFd`. `Hashing::contents` hashes every file but the signature files.
// A walk that `cancelled` stops ends with Status::checkCancelled.
[[nodiscard]] tl::expected<BundleScan, CodeSignError> scanBundle(int bundleFd, Hashing hashing);
[[nodiscard]] tl::expected<BundleScan, CodeSignError> scanBundle(int bundleFd, const HashFilter& hashes,
                                                                 const Cancelled& cancelled = {});

}  // namespace velmora::codesign
