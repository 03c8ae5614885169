#include "helper/ServiceMode.h"

#include <malloc.h>
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "core/HelperLog.h"
#include "helper/HelperService.h"
#include "platform/DescriptorLimit.h"
#include "platform/Dispatch.h"

namespace velmora::helper {

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
