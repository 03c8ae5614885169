#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/VerificationCache.h"
#include "platform/UniqueFd.h"

namespace velmora::codesign {

// The verification cache kept across activations in the service manager's descriptor store: written
// after every bundle that verifies, read back at the next start. An entry read back is only a cache
// entry: a lookup still stats every item (and hashes the racily-clean ones) before it is used.
namespace VerificationStore {

inline constexpr std::string_view kDescriptorName = "com.norwick.VelmoraHelper.verifications";
inline constexpr size_t kMaxBytes = 4 << 20;

// What a store must have been written by: `version` (version and build number), this executable's
// build id and the trusted anchors compiled into it.
[[nodiscard]] std::string buildIdentity(std::string_view version);

[[nodiscard]] std::string encode(const std::vector<VerificationCache::Entry>& entries,
                                 std::string_view identity);
// Nullopt for anything but a store `encode` wrote with the same identity.
[[nodiscard]] std::optional<std::vector<VerificationCache::Entry>> decode(std::string_view bytes,
                                                                          std::string_view identity);

using Log = std::function<void(bool error, const std::string& message)>;

// Fills `cache` from `stored` (when valid) and keeps it in the store after each bundle that verifies.
// Without a service manager to keep it, nothing happens.
void attach(VerificationCache& cache, std::string identity, platform::UniqueFd stored, Log log);

}  // namespace VerificationStore

}  // namespace velmora::codesign
