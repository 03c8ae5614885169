#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <tl/expected.hpp>

namespace velmora::platform {

// The value of an environment variable, or nothing when it is not set.
std::optional<std::string> environmentValue(const char* name);

// The current user's home directory: $HOME when set and absolute, else the account database entry.
std::filesystem::path currentHomeDirectory();

// Succeeds when `directory` is a folder (not a link) of this process's effective user that no one
// else may enter, list or change (no group or other permission bits); otherwise says why not, in a few
// words for a person. Sockets placed in any other folder could be taken or imitated by others.
[[nodiscard]] tl::expected<void, std::string> checkPrivateDirectory(const std::filesystem::path& directory);

// The path of the running executable (/proc/self/exe resolved).
std::filesystem::path currentExecutablePath();

}  // namespace velmora::platform
