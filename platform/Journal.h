#pragma once

#include <string_view>

namespace velmora::platform {

enum class LogLevel { info, error };

// Writes one log line to the systemd journal with the helper's identifier and the given category.
// When the journal cannot be reached the line goes to standard error as "category: message",
// never to standard output. Safe from any thread.
void journalSend(std::string_view category, LogLevel level, std::string_view message) noexcept;

// Writes `message` plus a line feed to standard error in one unbuffered write.
void writeStandardErrorLine(std::string_view message) noexcept;

}  // namespace velmora::platform
