#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <unordered_map>

#include "kit/DecodingError.h"
#include "kit/EncodingError.h"
#include "kit/HelperInfo.h"

namespace velmora::kit {

// The client's request to open a shell. Fields are declared, and written to JSON, in this order.
struct ShellLaunchRequest {
    // Any value is accepted here; the shell process clamps both to its own limits.
    std::int64_t columns = 0;
    std::int64_t rows = 0;
    // Absent, blank or unusable means the user's home directory.
    std::optional<std::string> workingDirectory;
    // Absent or blank means the user's login shell.
    std::optional<std::string> shellPath;
    // True: argument zero is "-" followed by the executable's file name.
    bool loginShell = false;
    // Laid over the environment the helper builds for every shell.
    std::unordered_map<std::string, std::string> environment;
    // Exported as TERM_PROGRAM_VERSION when present and not empty.
    std::optional<std::string> terminalProgramVersion;

    // Compact JSON, keys in field order, absent fields left out.
    [[nodiscard]] tl::expected<std::string, EncodingError> encoded() const;
    [[nodiscard]] static tl::expected<ShellLaunchRequest, DecodingError> decode(std::string_view data);

    friend bool operator==(const ShellLaunchRequest&, const ShellLaunchRequest&) = default;
};

// The helper's answer to a ShellLaunchRequest; a success exactly when `failure` is absent.
struct ShellLaunchResponse {
    std::int32_t processIdentifier = 0;
    std::string ttyPath;
    std::string shellPath;
    std::string workingDirectory;
    std::optional<std::string> failure;

    // The failed form: process identifier 0, empty paths, `failure` set to `message` made valid UTF-8
    // (other bytes written as \xHH), so that the failure always reaches the client.
    [[nodiscard]] static ShellLaunchResponse failed(std::string message);

    [[nodiscard]] bool succeeded() const { return !failure.has_value(); }

    // Paths that are not UTF-8 are written with their other bytes as \xHH: the shell runs, and a null
    // response would leave the client holding a terminal it cannot account for.
    [[nodiscard]] tl::expected<std::string, EncodingError> encoded() const;
    [[nodiscard]] static tl::expected<ShellLaunchResponse, DecodingError> decode(std::string_view data);

    friend bool operator==(const ShellLaunchResponse&, const ShellLaunchResponse&) = default;
};

}  // namespace velmora::kit

template <>
struct std::hash<velmora::kit::ShellLaunchRequest> {
    std::size_t operator()(const velmora::kit::ShellLaunchRequest& request) const noexcept;
};

template <>
struct std::hash<velmora::kit::ShellLaunchResponse> {
    std::size_t operator()(const velmora::kit::ShellLaunchResponse& response) const noexcept;
};
