#include "helper/HelperClientCheck.h"

#include "codesign/ProcessCode.h"
#include "kit/VelmoraHelperIdentity.h"

namespace velmora::helper {

namespace {
// Enough for every bundle a person runs clients from; past it the hint starts again.
constexpr size_t kMaxPassedBundles = 64;
}  // namespace

HelperClientCheck::HelperClientCheck() = default;

HelperClientCheck::~HelperClientCheck() = default;

tl::expected<void, std::string> HelperClientCheck::reserve(pid_t pid, uid_t uid) {
    std::lock_guard lock(mutex_);
    if (pendingByProcess_[pid] >= kMaxPendingPerProcess || pendingByUser_[uid] >= kMaxPendingPerUser) {
        if (pendingByProcess_[pid] == 0) pendingByProcess_.erase(pid);
        if (pendingByUser_[uid] == 0) pendingByUser_.erase(uid);
        return tl::unexpected("too many checks pending for pid " + std::to_string(pid) + " or user " +
                              std::to_string(uid));
    }
    ++pendingByProcess_[pid];
    ++pendingByUser_[uid];
    return {};
}

void HelperClientCheck::release(pid_t pid, uid_t uid) {
    std::lock_guard lock(mutex_);
    if (--pendingByProcess_[pid] == 0) pendingByProcess_.erase(pid);
    if (--pendingByUser_[uid] == 0) pendingByUser_.erase(uid);
}

bool HelperClientCheck::knownBundle(pid_t pid) {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error) return false;
    std::lock_guard lock(mutex_);
    return passedBundles_.contains(executable.parent_path().parent_path().parent_path());
}

void HelperClientCheck::check(const kit::xpc::PeerCredentials& peer, const kit::xpc::PeerDecision& decided) {
    std::optional<std::string> refusal;
    if (peer.hungUp && peer.hungUp()) {
        refusal = std::string(codesign::kCheckCancelled);
    } else {
        auto checked = codesign::checkProcess(
            peer.pidfd, kit::VelmoraHelperIdentity::clientCodeSigningRequirement(), &cache_, peer.hungUp);
        if (checked) {
            std::lock_guard lock(mutex_);
            if (passedBundles_.size() >= kMaxPassedBundles) passedBundles_.clear();
            passedBundles_.insert((*checked)->path);
        } else {
            refusal = checked.error();
        }
    }
    release(peer.pid, peer.uid);
    decided(std::move(refusal));
}

kit::xpc::AsynchronousPeerRequirement HelperClientCheck::requirement() {
    return [this](const kit::xpc::PeerCredentials& peer, kit::xpc::PeerDecision decided) {
        if (auto reserved = reserve(peer.pid, peer.uid); !reserved)
            return decided(std::move(reserved.error()));
        auto& lane = knownBundle(peer.pid) ? knownLane_ : threads_;
        lane.post([this, peer, decided = std::move(decided)] { check(peer, decided); });
    };
}

}  // namespace velmora::helper
