#include "helper/ServiceMode.h"

#include <malloc.h>
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "core/HelperLog.h"
#include "core/PTYShellProcess.h"
#include "helper/HelperService.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/DescriptorLimit.h"
#include "platform/Dispatch.h"
#include "platform/UserScopes.h"

namespace velmora::helper {

namespace {

// Each shell, once started, gets a scope of its own under the user manager, so that the manager's OOM
// policy and accounting act on one shell, and stopping the agent leaves shells alone. Asking happens
// on the scopes' own thread; a shell whose move fails stays where it is and serves as before.
void moveShellsIntoScopes() {
    using Failure = platform::UserScopes::Failure;
    static const auto scopes = platform::UserScopes::create([](const Failure& failure) {
        if (failure.kind == Failure::Kind::noManager)
            core::HelperLog::shell.info("Shells stay in the helper's control group: " + failure.message);
        else
            core::HelperLog::shell.error("A shell stays in the helper's control group: " + failure.message);
    });
    core::PTYShellProcess::setStartObserver([](const core::PTYShellProcess& shell) {
        auto pid = std::to_string(shell.processIdentifier());
        scopes->move(
            {shell.processIdentifier(), shell.pidfd(),
             "app-" + std::string(kit::VelmoraHelperIdentity::bundleIdentifier) + "-shell-" + pid + ".scope",
             "Velmora Helper shell " + shell.shellPath() + " on " + shell.ttyPath()});
    });
}

}  // namespace

int runServiceMode() {
    // One allocator arena for the whole service: memory freed after a burst of connections is then
    // pinned by far fewer long-lived objects and goes back to the system (see the transport's trim).
    // The helper's calls are short, so the threads hardly ever wait for the arena.
    ::mallopt(M_ARENA_MAX, 1);
    // Without a journal, log lines go to standard error; a reader that went away must not end the
    // service. Shells get every signal back at its default before they start.
    std::signal(SIGPIPE, SIG_IGN);
    // Inherited as ignored (or with SA_NOCLDWAIT), SIGCHLD would let the kernel reap every shell
    // itself, and no exit would ever be reported.
    struct sigaction childAction {};
    childAction.sa_handler = SIG_DFL;
    sigemptyset(&childAction.sa_mask);
    ::sigaction(SIGCHLD, &childAction, nullptr);
    // The helper uses no select(): the whole hard limit is its to use, not a login session's 1024.
    if (auto raised = platform::raiseDescriptorLimitToHard(); !raised)
        core::HelperLog::service.error("Cannot raise the open file limit: " + raised.error().description());
    moveShellsIntoScopes();
    // Lives until the process ends.
    static std::shared_ptr<HelperService> service = HelperService::create();
    if (auto started = service->start(); !started) {
        core::HelperLog::standardError(started.error());
        std::fflush(nullptr);
        // Pool threads and a listener may already be running: leave without static destructors.
        std::_Exit(1);
    }
    platform::DispatchContext::shared().runOnCurrentThread();
}

}  // namespace velmora::helper
