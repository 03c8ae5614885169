#include "kit/xpc/Reply.h"

#include <mutex>
#include <string>

#include "platform/Logger.h"

namespace velmora::kit::xpc {

namespace {
std::mutex observerMutex;
std::function<void(std::string_view)> observer;
}  // namespace

void setReplyMisuseObserverForTesting(std::function<void(std::string_view message)> newObserver) {
    std::lock_guard lock(observerMutex);
    observer = std::move(newObserver);
}

void detail::reportReplyMisuse(std::string_view selector, std::string_view what) noexcept {
    try {
        std::string message = "Reply";
        if (!selector.empty()) message += " to " + std::string(selector);
        message += " " + std::string(what);
        platform::LogCategory::service.error(message);
        std::function<void(std::string_view)> current;
        {
            std::lock_guard lock(observerMutex);
            current = observer;
        }
        if (current) current(message);
    } catch (...) {
        // Reporting must never take the process down from a destructor.
    }
}

}  // namespace velmora::kit::xpc
