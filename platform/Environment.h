#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velmora::platform {

// The value of an environment variable, or nothing when it is not set.
std::optional<std::string> environmentValue(const char* name);

// The current user's home directory: $HOME when set and absolute, else the account database entry.
std::filesystem::path currentHomeDirectory();

// The path of the running executable (/proc/self/exe resolved).
std::filesystem::path currentExecutablePath();

}  // namespace velmora::platform
