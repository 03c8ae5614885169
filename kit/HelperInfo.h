#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "kit/DecodingError.h"
#include "kit/EncodingError.h"
#include "kit/HelperVersion.h"

namespace velmora::kit {

// The answer to the info call: facts about the running helper and its user. Not validated.
struct HelperInfo {
    HelperVersion version;
    std::int64_t build = 0;
    std::int64_t protocolVersion = 0;
    std::string bundlePath;
    std::int32_t processIdentifier = 0;
    std::string loginShell;
    std::string userName;

    // Texts that are not UTF-8 (a home or a login shell in a legacy encoding) are written with their
    // other bytes as \xHH: a null reply would tell the client nothing.
    [[nodiscard]] tl::expected<std::string, EncodingError> encoded() const;
    [[nodiscard]] static tl::expected<HelperInfo, DecodingError> decode(std::string_view data);

    friend bool operator==(const HelperInfo&, const HelperInfo&) = default;
};

}  // namespace velmora::kit

template <>
struct std::hash<velmora::kit::HelperInfo> {
    std::size_t operator()(const velmora::kit::HelperInfo& info) const noexcept;
};
