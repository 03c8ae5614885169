#include "platform/SystemError.h"

#include <cstring>

namespace velmora::platform {

std::string SystemError::reason() const {
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not be `buffer`.
    return ::strerror_r(code, buffer, sizeof buffer);
}

std::string SystemError::description() const {
    return call + ": " + reason();
}

}  // namespace velmora::platform
