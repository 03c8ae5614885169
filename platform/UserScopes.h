#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tl/expected.hpp>

#include "platform/Dispatch.h"
#include "platform/UniqueFd.h"

namespace velmora::platform {

// Moves started processes into transient scopes of the user's service manager, one scope each, as
// desktop terminals do with their shells: the manager's OOM policy, accounting and `systemctl --user`
// then see one unit per process, and stopping whoever started it leaves it alone.
//
// Requests run in order on one thread of their own holding one bus connection (the manager's private
// socket, else the session bus), made when first needed and made again after it breaks. A caller never
// waits for the manager. sd-bus comes from libsystemd, loaded on the first request.
class UserScopes : public std::enable_shared_from_this<UserScopes> {
  public:
    struct Request {
        pid_t pid = 0;
        // Pins the process, so that one that has gone (and whose pid may be reused) is never moved.
        std::shared_ptr<const UniqueFd> pidfd;
        std::string unitName;
        std::string description;
    };
    struct Failure {
        enum class Kind { noManager, refused };
        Kind kind = Kind::refused;
        // The same for every request failing the same way: what "once per cause" is keyed on.
        std::string cause;
        std::string message;
    };
    // Told of the first failure of each cause only.
    using Reporter = std::function<void(const Failure&)>;
    // Told of every request's outcome, on the scope thread; a process that had already exited counts as
    // done, with nothing to move.
    using Completion = std::function<void(const tl::expected<void, Failure>&)>;

    // Requests beyond this many waiting are refused at once ("backlog"), so that a manager that has
    // stopped answering cannot make the queue grow without bound.
    static constexpr int kMaxWaiting = 1024;

    // Waiting requests keep the object alive until they have run.
    static std::shared_ptr<UserScopes> create(Reporter reporter);
    ~UserScopes();
    UserScopes(const UserScopes&) = delete;
    UserScopes& operator=(const UserScopes&) = delete;

    void move(Request request, Completion done = nullptr);

    struct Bus;

  private:
    explicit UserScopes(Reporter reporter);
    [[nodiscard]] tl::expected<void, Failure> moveNow(const Request& request);
    void settle(const tl::expected<void, Failure>& outcome, const Completion& done);

    const Reporter reporter_;
    const std::shared_ptr<DispatchQueue> thread_;
    std::atomic<int> waiting_{0};
    // Touched only on the scope thread.
    std::unique_ptr<Bus> bus_;
    std::mutex causesLock_;
    std::set<std::string> reportedCauses_;
};

}  // namespace velmora::platform
