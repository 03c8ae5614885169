#pragma once

// The detached CMS signature over a bundle's CodeResources, and the chain of its signer.

#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <utility>
#include <vector>

#include "codesign/CodeSignStatus.h"

namespace velmora::codesign {

using Certificate = std::shared_ptr<X509>;

struct SigningInfo {
    std::string identifier;
    // Verified up to a trusted anchor: the leaf first, the anchor last.
    std::vector<Certificate> chain;
    // When every certificate of the chain is valid: the latest start and the earliest end.
    std::time_t validFrom = 0;
    std::time_t validUntil = 0;
};

// Seals the bundle (CodeResources) and signs the seal with `keyPem` and the certificates of
// `chainPem` (leaf first, then its issuers; the root may be left out).
[[nodiscard]] tl::expected<void, CodeSignError> signBundle(const std::filesystem::path& bundle,
                                                           const std::string& identifier,
                                                           const std::filesystem::path& keyPem,
                                                           const std::filesystem::path& chainPem);

// Checks `cmsDer` as a detached signature over `resources` by one signer, and the signer's chain up to
// the trusted anchors. Time rule: every certificate must be valid now. There is no trusted timestamp,
// and the signing time inside the signature is the signer's own claim, so it cannot stretch a
// certificate's life. Use rule: the leaf's key usage must allow digital signatures and, where it lists
// extended key usages, code signing. At most 16 certificates.
[[nodiscard]] tl::expected<std::vector<Certificate>, CodeSignError> verifySignatureOver(
    std::string_view resources, std::string_view cmsDer);

// The span in which every certificate of `chain` is valid: the latest start and the earliest end.
std::pair<std::time_t, std::time_t> validityWindow(const std::vector<Certificate>& chain);

// The subject's common name, for messages.
std::string commonName(X509* certificate);

}  // namespace velmora::codesign
