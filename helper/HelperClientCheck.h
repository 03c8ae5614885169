#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <tl/expected.hpp>

#include "codesign/VerificationCache.h"
#include "kit/xpc/Connection.h"
#include "platform/BlockingPool.h"

namespace velmora::helper {

// The client code-signing requirement on every connection: the peer's executable must lie in a bundle
// that satisfies the client requirement, and run no code from elsewhere (codesign/ProcessCode.h).
// Checks run on the check's own threads, never on the accept path, a connection's strand or the
// service queue. A bundle that passed is not hashed again while every item in it is unchanged (see
// VerificationCache).
//
// A client cannot turn the checks against others: a check whose client has hung up is skipped, or
// stopped between its steps; a process, and a user, may have only so many checks pending, and more are
// refused; and a client whose bundle has passed before is checked on a lane of its own, so that its
// first call never waits behind the hashing of another client's large bundle.
class HelperClientCheck {
  public:
    static constexpr size_t kThreads = 2;
    static constexpr size_t kMaxPendingPerProcess =
        16;  // a terminal may open a connection per window at once
    static constexpr size_t kMaxPendingPerUser = 64;

    HelperClientCheck();
    ~HelperClientCheck();
    HelperClientCheck(const HelperClientCheck&) = delete;
    HelperClientCheck& operator=(const HelperClientCheck&) = delete;

    // The connection's asynchronous peer requirement. The check holds itself only through `this`, so
    // it must outlive every connection it was given to (the service keeps it for the process's life).
    [[nodiscard]] kit::xpc::AsynchronousPeerRequirement requirement();

    [[nodiscard]] codesign::VerificationCache& cache() { return cache_; }

  private:
    [[nodiscard]] tl::expected<void, std::string> reserve(pid_t pid, uid_t uid);
    void release(pid_t pid, uid_t uid);
    [[nodiscard]] bool knownBundle(pid_t pid);
    void check(const kit::xpc::PeerCredentials& peer, const kit::xpc::PeerDecision& decided);

    codesign::VerificationCache cache_;
    std::mutex mutex_;
    std::map<pid_t, size_t> pendingByProcess_;
    std::map<uid_t, size_t> pendingByUser_;
    // Bundles that passed: only a hint of which lane to take; every check is complete either way.
    std::set<std::filesystem::path> passedBundles_;
    // Last: their destructors wait for running checks, which use the members above.
    platform::BlockingPool threads_{kThreads};
    platform::BlockingPool knownLane_{1};
};

}  // namespace velmora::helper
