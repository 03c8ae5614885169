#pragma once

#include <string_view>

#include "platform/Journal.h"

namespace velmora::core {

// A log category of the helper. Lines go to the systemd journal (or standard error when it is
// unreachable) with the category attached. Shared by all threads.
class Logger {
  public:
    explicit constexpr Logger(std::string_view category) : category_(category) {}
    void info(std::string_view message) const noexcept {
        platform::journalSend(category_, platform::LogLevel::info, message);
    }
    void error(std::string_view message) const noexcept {
        platform::journalSend(category_, platform::LogLevel::error, message);
    }
    [[nodiscard]] std::string_view category() const { return category_; }

  private:
    std::string_view category_;
};

namespace HelperLog {
// The listener, connections, the idle exit and exit notifications.
inline constexpr Logger service{"service"};
// Shell launches and shell processes.
inline constexpr Logger shell{"shell"};
// Install, register, uninstall, update requests, clean-up and restart.
inline constexpr Logger installer{"installer"};

// One line for a person at a terminal, on standard error, in one write.
inline void standardError(std::string_view message) noexcept {
    platform::writeStandardErrorLine(message);
}
}  // namespace HelperLog

}  // namespace velmora::core
