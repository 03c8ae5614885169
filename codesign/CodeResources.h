#pragma once

// The sealed resource list of a bundle (Contents/_CodeSignature/CodeResources): the signing identifier
// and, for every item of the bundle but the two signature files, its relative path, type and permission
// bits, with a file's SHA-256 or a link's target. Its text form is what the CMS signature covers:
//
//   VelmoraCodeResources 1
//   identifier com.norwick.Velmora.dev
//   dir 0755 - Contents
//   file 0755 <sha256 hex> Contents/MacOS/velmora-shell
//   link 0777 ../MacOS/velmora-shell Contents/Resources/shell
//
// Entries are sorted by path, bytewise. Bytes below 0x21, 0x7f and '%' in paths, targets and the
// identifier are written as %XX, so every field is one word and any file name round-trips.

#include <cstdint>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "codesign/CodeSignStatus.h"

namespace velmora::codesign {

struct ResourceEntry {
    enum class Type { file, directory, link };
    std::string path;  // relative to the bundle, '/'-separated
    Type type = Type::file;
    std::uint32_t mode = 0;  // permission bits (07777)
    std::string payload;     // a file's SHA-256 (lower-case hex), a link's target; empty for a directory

    friend bool operator==(const ResourceEntry&, const ResourceEntry&) = default;
};

struct CodeResources {
    std::string identifier;
    std::vector<ResourceEntry> entries;

    friend bool operator==(const CodeResources&, const CodeResources&) = default;
};

[[nodiscard]] std::string serialize(const CodeResources& resources);
[[nodiscard]] tl::expected<CodeResources, CodeSignError> parseCodeResources(std::string_view text);

enum class Comparing { everything, listingOnly };

// The first difference, in path order, between the sealed list and the one read from disk. With
// `Comparing::listingOnly`, files' digests are not compared: a check that needs no byte of any file
// read.
[[nodiscard]] tl::expected<void, CodeSignError> compareResources(const std::vector<ResourceEntry>& sealed,
                                                                 const std::vector<ResourceEntry>& onDisk,
                                                                 Comparing comparing = Comparing::everything);

// The first link whose target, followed through the bundle's own links, leads outside the bundle
// (an absolute target, one that climbs above the bundle's top, or more links followed than the kernel
// follows in one lookup). Each link is resolved once, so the cost is linear in the listing's size.
[[nodiscard]] tl::expected<void, CodeSignError> findEscapingLink(const std::vector<ResourceEntry>& entries);

}  // namespace velmora::codesign
