#include "helper/HelperClientCheck.h"

#include "codesign/ProcessCode.h"
#include "kit/VelmoraHelperIdentity.h"

namespace velmora::helper {

HelperClientCheck::HelperClientCheck() = default;

HelperClientCheck::~HelperClientCheck() = default;

kit::xpc::AsynchronousPeerRequirement HelperClientCheck::requirement() {
    return [this](const kit::xpc::PeerCredentials& peer, kit::xpc::PeerDecision decided) {
        threads_.post([this, descriptor = peer.processDescriptor, decided = std::move(decided)] {
            auto checked = codesign::checkProcess(
                descriptor, kit::VelmoraHelperIdentity::clientCodeSigningRequirement(), &cache_);
            decided(checked ? std::nullopt : std::optional<std::string>(checked.error()));
        });
    };
}

}  // namespace velmora::helper
