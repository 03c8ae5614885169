#pragma once

// Checking a bundle on disk against its code signature and a requirement.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "codesign/BundleScan.h"
#include "codesign/CodeSignStatus.h"
#include "codesign/CodeSignature.h"
#include "platform/UniqueFd.h"

namespace velmora::codesign {

class VerificationCache;

// A bundle whose signature held: who signed it and every item as it was when checked.
struct ValidatedBundle {
    std::filesystem::path path;  // canonical, no links
    SigningInfo signing;
    std::vector<ScannedItem> items;

    [[nodiscard]] const ScannedItem* find(std::string_view relativePath) const;
};

struct OpenedBundle {
    std::filesystem::path path;  // canonical
    platform::UniqueFd directory;
};

// Opens the bundle (following links up to it, never inside it). Fails with Status::bundleUnreadable
// when it is missing, not a folder, or has no Contents folder.
[[nodiscard]] tl::expected<OpenedBundle, CodeSignError> openBundle(const std::filesystem::path& bundle);
// The same for a folder already opened (another process's view of it, say), known by `path`.
[[nodiscard]] tl::expected<OpenedBundle, CodeSignError> adoptBundle(platform::UniqueFd directory,
                                                                    std::filesystem::path path);

// The signature's own checks: present, undamaged, made by a chain up to a trusted anchor, over a
// resource list that matches the bundle on disk, with no link leading out of it. The listing is
// compared before any file is hashed, and only files the seal lists are hashed. With a cache, a
// bundle whose every item is unchanged since it last passed is not read again (see VerificationCache).
// A walk that `cancelled` stops ends with Status::checkCancelled.
[[nodiscard]] tl::expected<std::shared_ptr<const ValidatedBundle>, CodeSignError> validateBundle(
    const OpenedBundle& bundle, VerificationCache* cache = nullptr, const Cancelled& cancelled = {});

// Everything above and then the requirement, with the fixed texts: "could not be read for
// verification", "could not be built", the verifier's own description, or "does not satisfy".
[[nodiscard]] tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkValidity(
    const std::filesystem::path& bundle, std::string_view requirementText, VerificationCache* cache = nullptr,
    const Cancelled& cancelled = {});
[[nodiscard]] tl::expected<std::shared_ptr<const ValidatedBundle>, std::string> checkValidity(
    const OpenedBundle& bundle, std::string_view requirementText, VerificationCache* cache = nullptr,
    const Cancelled& cancelled = {});

}  // namespace velmora::codesign
