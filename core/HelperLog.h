#pragma once

#include <string_view>

#include "platform/Logger.h"

namespace velmora::core {

using Logger = platform::Logger;

namespace HelperLog {
inline constexpr const Logger& service = platform::LogCategory::service;
inline constexpr const Logger& shell = platform::LogCategory::shell;
inline constexpr const Logger& installer = platform::LogCategory::installer;

// One line for a person at a terminal, on standard error, in one write.
inline void standardError(std::string_view message) noexcept {
    platform::writeStandardErrorLine(message);
}
}  // namespace HelperLog

}  // namespace velmora::core
