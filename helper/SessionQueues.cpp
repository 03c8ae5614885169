#include "helper/SessionQueues.h"

#include <string>

#include "kit/VelmoraHelperIdentity.h"

namespace velmora::helper {

namespace {

constexpr unsigned kInfoThreads = 2;

}  // namespace

std::shared_ptr<platform::DispatchQueue> infoQueue() {
    static const auto queue = platform::DispatchQueue::createBlocking(
        std::string(kit::VelmoraHelperIdentity::bundleIdentifier) + ".info", kInfoThreads);
    return queue;
}

}  // namespace velmora::helper
