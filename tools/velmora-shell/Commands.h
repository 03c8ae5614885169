#pragma once

// The commands that make one call (or one update) and leave.

#include <string>

#include "tools/velmora-shell/HelperLink.h"

namespace velmora::shell {

enum class InfoFormat { text, json };

Outcome runInfo(const HelperAddress& address, InfoFormat format);
// Reads and checks the manifest before connecting; progress goes to standard error.
Outcome runUpdate(const HelperAddress& address, const std::string& manifestFile);
Outcome runCancelUpdate(const HelperAddress& address);
Outcome runUninstall(const HelperAddress& address);

}  // namespace velmora::shell
