#pragma once

// Descriptors kept free for accepting and answering clients at the limit: an open that would use
// them fails instead.

#include <memory>
#include <string>
#include <tl/expected.hpp>

namespace velmora::helper {

// A promise of the descriptors one open holds at its peak, kept until the open has finished.
class DescriptorClaim {
  public:
    // The failure text, or a claim.
    [[nodiscard]] static tl::expected<std::unique_ptr<DescriptorClaim>, std::string> take();
    ~DescriptorClaim();
    DescriptorClaim(const DescriptorClaim&) = delete;
    DescriptorClaim& operator=(const DescriptorClaim&) = delete;

  private:
    DescriptorClaim() = default;
};

}  // namespace velmora::helper
