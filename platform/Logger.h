#pragma once

#include <string_view>

#include "platform/Journal.h"

namespace velmora::platform {

// A log category of the helper. Lines go to the systemd journal (or standard error when it is
// unreachable) with the category attached. Shared by all threads.
class Logger {
  public:
    explicit constexpr Logger(std::string_view category) : category_(category) {}
    void info(std::string_view message) const noexcept { journalSend(category_, LogLevel::info, message); }
    void error(std::string_view message) const noexcept { journalSend(category_, LogLevel::error, message); }
    [[nodiscard]] std::string_view category() const { return category_; }

  private:
    std::string_view category_;
};

// The categories themselves, here so that the transport in kit/ logs under the same names as the
// helper (core/HelperLog.h) without depending on it.
namespace LogCategory {
// The listener, connections, the idle exit and exit notifications.
inline constexpr Logger service{"service"};
// Shell launches and shell processes.
inline constexpr Logger shell{"shell"};
// Install, register, uninstall, update requests, clean-up and restart.
inline constexpr Logger installer{"installer"};
}  // namespace LogCategory

}  // namespace velmora::platform
