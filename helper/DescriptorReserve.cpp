#include "helper/DescriptorReserve.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "platform/DescriptorLimit.h"

namespace velmora::helper {

namespace {

// One open holds at most kDescriptorsPerOpen at its peak: the shell's three, the copy of the terminal
// for the reply, and passing ones (the count itself, account lookups).
constexpr std::size_t kDescriptorReserve = 32;
constexpr std::size_t kDescriptorsPerOpen = 8;
// Descriptors that opens under way may still take, so that concurrent opens cannot share one gap.
std::atomic<std::size_t> descriptorsPromised{0};

}  // namespace

tl::expected<std::unique_ptr<DescriptorClaim>, std::string> DescriptorClaim::take() {
    auto claim = std::unique_ptr<DescriptorClaim>(new DescriptorClaim());
    std::size_t promisedByOthers = descriptorsPromised.fetch_add(kDescriptorsPerOpen);
    std::size_t limit = platform::descriptorLimit();
    auto open = platform::openDescriptorCount();
    bool full = open ? *open + promisedByOthers + kDescriptorsPerOpen + kDescriptorReserve > limit
                     : open.error().code == EMFILE || open.error().code == ENFILE;
    if (full)
        return tl::unexpected("Too many open shells: the helper is at its limit of " + std::to_string(limit) +
                              " open files.");
    return claim;
}

DescriptorClaim::~DescriptorClaim() {
    descriptorsPromised.fetch_sub(kDescriptorsPerOpen);
}

}  // namespace velmora::helper
