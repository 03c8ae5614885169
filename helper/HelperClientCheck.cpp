#include "helper/HelperClientCheck.h"

#include "codesign/ProcessCode.h"
#include "kit/VelmoraHelperIdentity.h"

namespace velmora::helper {

HelperClientCheck::HelperClientCheck() {
    for (size_t i = 0; i < kThreads; ++i) threads_.emplace_back([this] { run(); });
}

HelperClientCheck::~HelperClientCheck() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
}

kit::xpc::AsynchronousPeerRequirement HelperClientCheck::requirement() {
    return [this](const kit::xpc::PeerCredentials& peer, kit::xpc::PeerDecision decided) {
        {
            std::lock_guard lock(mutex_);
            work_.push_back([this, descriptor = peer.processDescriptor, decided = std::move(decided)] {
                auto checked = codesign::checkProcess(
                    descriptor, kit::VelmoraHelperIdentity::clientCodeSigningRequirement(), &cache_);
                decided(checked ? std::nullopt : std::optional<std::string>(checked.error()));
            });
        }
        wake_.notify_one();
    };
}

void HelperClientCheck::run() {
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !work_.empty(); });
            if (stopping_) return;
            next = std::move(work_.front());
            work_.pop_front();
        }
        next();
    }
}

}  // namespace velmora::helper
