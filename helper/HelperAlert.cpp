#include "helper/HelperAlert.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <vector>

#include "core/HelperLog.h"
#include "platform/Environment.h"

extern char** environ;

namespace velmora::helper::HelperAlert {

namespace {

bool inGraphicalSession() {
    auto nonEmpty = [](const char* name) {
        auto value = platform::environmentValue(name);
        return value && !value->empty();
    };
    return nonEmpty("DISPLAY") || nonEmpty("WAYLAND_DISPLAY");
}

// Runs zenity and waits for it; false when it could not be started or did not run to completion.
bool presentWithZenity(const std::string& title, const std::string& message) {
    std::string titleArgument = "--title=" + title;
    std::string textArgument = "--text=" + message;
    std::vector<char*> argv = {const_cast<char*>("zenity"),
                               const_cast<char*>("--info"),
                               const_cast<char*>("--no-markup"),
                               const_cast<char*>("--ok-label=OK"),
                               titleArgument.data(),
                               textArgument.data(),
                               nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "zenity", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    // 127: the dialog program could not be executed after all.
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

}  // namespace

void present(const std::string& title, const std::string& message) {
    if (inGraphicalSession() && presentWithZenity(title, message)) return;
    core::HelperLog::standardError(message);
}

}  // namespace velmora::helper::HelperAlert
