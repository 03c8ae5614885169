#include "helper/ServiceMode.h"

#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "core/HelperLog.h"
#include "helper/HelperService.h"
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
