#pragma once

// The event loop of the transport's connection sockets: a few threads waiting on one epoll set. The
// thread that an event wakes runs the socket's handler itself and then waits again, so a packet costs
// its receiver one wake-up, as a blocking read would.
//
// Watches are one-shot: after an event the socket is not watched again until its owner re-arms it, so
// one socket's handler runs on one thread at a time as long as the owner only re-arms it when no
// handler of its own is running. Readiness is level-triggered: a socket re-armed while still readable
// reports at once.
//
// Threads start on demand: the first with the first watch, one more whenever an event finds no other
// thread waiting, up to kMaxThreads. Beyond kKeptThreads, a thread that has waited
// kIdleExitMilliseconds for nothing ends; the rest run until the process ends.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <tl/expected.hpp>
#include <vector>

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::kit::xpc {

class SocketReactor {
  public:
    static constexpr unsigned kMaxThreads = 4;
    static constexpr unsigned kKeptThreads = 2;
    static constexpr int kIdleExitMilliseconds = 500;
    // Runs on a reactor thread with the target alive and the epoll events that fired.
    using Ready = void (*)(void* target, std::uint32_t events);

    static SocketReactor& shared();

    // Watches `fd` for `events` (EPOLLONESHOT is added). While the watch lasts, `ready` runs for each
    // event as long as `target` is alive. Returns the watch's key.
    [[nodiscard]] tl::expected<std::uint64_t, platform::SystemError> watch(int fd, std::uint32_t events,
                                                                           std::weak_ptr<void> target,
                                                                           Ready ready);
    // Watches again, for `events`.
    [[nodiscard]] tl::expected<void, platform::SystemError> rearm(int fd, std::uint64_t key,
                                                                  std::uint32_t events);
    // Ends the watch before `fd` is closed; an event already taken for it is dropped.
    void forget(int fd, std::uint64_t key);

  private:
    SocketReactor();
    void run();

    struct Slot {
        std::uint32_t generation = 0;
        std::weak_ptr<void> target;
        Ready ready = nullptr;
    };

    platform::UniqueFd epoll_;
    std::mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> freeSlots_;
    std::atomic<unsigned> threads_ = 0;  // changed under `mutex_`
    std::atomic<unsigned> waiting_ = 0;
};

}  // namespace velmora::kit::xpc
