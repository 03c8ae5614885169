#pragma once

#include <string>

namespace velmora::helper::HelperAlert {

// Shows one modal, informational dialog with a single OK button and returns once it is dismissed.
// In a graphical session (DISPLAY or WAYLAND_DISPLAY) the dialog is zenity's; without one, or when
// no dialog program can be started, the message goes to standard error instead.
void present(const std::string& title, const std::string& message);

}  // namespace velmora::helper::HelperAlert
