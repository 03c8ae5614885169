#include "helper/ServiceMode.h"

#include "core/HelperLog.h"
#include "helper/HelperService.h"
#include "platform/Dispatch.h"

namespace velmora::helper {

int runServiceMode() {
    // Lives until the process ends.
    static std::shared_ptr<HelperService> service = HelperService::create();
    if (auto started = service->start(); !started) {
        core::HelperLog::standardError(started.error());
        return 1;
    }
    platform::DispatchContext::shared().runOnCurrentThread();
}

}  // namespace velmora::helper
