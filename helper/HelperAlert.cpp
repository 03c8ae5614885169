#include "helper/HelperAlert.h"

#include "core/HelperLog.h"
#include "platform/Environment.h"
#include "platform/Process.h"

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
    platform::ProcessPlan plan;
    plan.arguments = {"zenity",        "--info",           "--no-markup",
                      "--ok-label=OK", "--title=" + title, "--text=" + message};
    plan.searchPath = true;
    auto finished = platform::runProcess(plan);
    // 127: the dialog program could not be executed after all.
    return finished && !finished->status.exitedWith(127);
}

}  // namespace

void present(const std::string& title, const std::string& message) {
    if (inGraphicalSession() && presentWithZenity(title, message)) return;
    core::HelperLog::standardError(message);
}

}  // namespace velmora::helper::HelperAlert
