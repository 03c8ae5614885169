#include "helper/ServiceMode.h"

#include "core/HelperLog.h"

namespace velmora::helper {

int runServiceMode() {
    core::HelperLog::standardError("Service mode is not available in this build of Velmora Helper.");
    return 1;
}

}  // namespace velmora::helper
