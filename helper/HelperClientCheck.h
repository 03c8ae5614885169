#pragma once

#include "codesign/VerificationCache.h"
#include "kit/xpc/Connection.h"
#include "platform/BlockingPool.h"

namespace velmora::helper {

// The client code-signing requirement on every connection: the peer's executable must lie in a bundle
// that satisfies the client requirement. Checks run on the check's own threads, never on the accept
// path, a connection's strand or the service queue, so that hashing one large bundle holds up no
// other client. A bundle that passed is not hashed again while every item in it is unchanged (see
// VerificationCache).
class HelperClientCheck {
  public:
    static constexpr size_t kThreads = 2;

    HelperClientCheck();
    ~HelperClientCheck();
    HelperClientCheck(const HelperClientCheck&) = delete;
    HelperClientCheck& operator=(const HelperClientCheck&) = delete;

    // The connection's asynchronous peer requirement. The check holds itself only through `this`, so
    // it must outlive every connection it was given to (the service keeps it for the process's life).
    [[nodiscard]] kit::xpc::AsynchronousPeerRequirement requirement();

    [[nodiscard]] codesign::VerificationCache& cache() { return cache_; }

  private:
    codesign::VerificationCache cache_;
    // Last: its destructor waits for running checks, which use the cache.
    platform::BlockingPool threads_{kThreads};
};

}  // namespace velmora::helper
