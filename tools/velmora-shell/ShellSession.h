#pragma once

// The interactive shell: opened through the helper on its pseudo-terminal, with this terminal bridged to
// it in raw mode until the shell exits.

#include <optional>
#include <string>

#include "kit/ShellLaunchEnvironment.h"
#include "tools/velmora-shell/HelperLink.h"

namespace velmora::shell {

struct ShellOptions {
    std::optional<std::string> shell;
    std::optional<std::string> workingDirectory;
    bool login = true;
};

// What this process's environment hands to the shell: the desktop session's variables, the locale and
// the description of this terminal (the list and the reasons are in the manual page).
kit::ShellLaunchEnvironment::Variables sessionVariables();

// The shell's exit status, or 128 + the signal that ended it.
Outcome runShell(const HelperAddress& address, const ShellOptions& options);

}  // namespace velmora::shell
