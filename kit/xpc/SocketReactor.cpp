#include "kit/xpc/SocketReactor.h"

#include <sys/epoll.h>

#include <cstdlib>
#include <thread>

namespace velmora::kit::xpc {

using platform::SystemError;

namespace {
std::uint64_t keyOf(std::uint32_t index, std::uint32_t generation) {
    return (std::uint64_t{generation} << 32) | index;
}
}  // namespace

SocketReactor::SocketReactor() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    // Without its epoll set the process cannot serve or call anyone.
    if (!epoll_.valid()) std::abort();
}

SocketReactor& SocketReactor::shared() {
    // Never destroyed: its threads run until the process exits.
    static auto* reactor = new SocketReactor();
    return *reactor;
}

tl::expected<std::uint64_t, SystemError> SocketReactor::watch(int fd, std::uint32_t events,
                                                              std::weak_ptr<void> target, Ready ready) {
    std::uint64_t key = 0;
    {
        std::lock_guard lock(mutex_);
        std::uint32_t index = 0;
        if (freeSlots_.empty()) {
            index = static_cast<std::uint32_t>(slots_.size());
            slots_.emplace_back();
        } else {
            index = freeSlots_.back();
            freeSlots_.pop_back();
        }
        auto& slot = slots_[index];
        slot.target = std::move(target);
        slot.ready = ready;
        key = keyOf(index, slot.generation);
        if (threads_ == 0) {
            ++threads_;
            std::thread([this] { run(); }).detach();
        }
    }
    epoll_event event{events | EPOLLONESHOT, {.u64 = key}};
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        auto error = SystemError::fromErrno("epoll_ctl");
        forget(-1, key);
        return tl::unexpected(error);
    }
    return key;
}

tl::expected<void, SystemError> SocketReactor::rearm(int fd, std::uint64_t key, std::uint32_t events) {
    epoll_event event{events | EPOLLONESHOT, {.u64 = key}};
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) != 0)
        return tl::unexpected(SystemError::fromErrno("epoll_ctl"));
    return {};
}

void SocketReactor::forget(int fd, std::uint64_t key) {
    // A child forked but not yet exec'd shares the socket, which would keep its registration (and its
    // events) alive after the owner closes it: it is removed explicitly.
    if (fd >= 0) (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    std::weak_ptr<void> released;
    std::lock_guard lock(mutex_);
    auto index = static_cast<std::uint32_t>(key);
    auto& slot = slots_[index];
    if (slot.generation != static_cast<std::uint32_t>(key >> 32)) return;
    ++slot.generation;
    released = std::move(slot.target);
    slot.ready = nullptr;
    freeSlots_.push_back(index);
}

void SocketReactor::run() {
    for (;;) {
        epoll_event event{};
        waiting_.fetch_add(1, std::memory_order_relaxed);
        const bool extra = threads_.load(std::memory_order_relaxed) > kKeptThreads;
        int count = ::epoll_wait(epoll_.get(), &event, 1, extra ? kIdleExitMilliseconds : -1);
        bool alone = waiting_.fetch_sub(1, std::memory_order_relaxed) == 1;
        if (count == 0) {
            std::lock_guard lock(mutex_);
            if (threads_ > kKeptThreads) {
                --threads_;
                return;
            }
        }
        if (count != 1) continue;
        std::shared_ptr<void> target;
        Ready ready = nullptr;
        {
            std::lock_guard lock(mutex_);
            // Someone must be waiting while this thread runs a handler that may take its time.
            if (alone && threads_ < kMaxThreads) {
                ++threads_;
                std::thread([this] { run(); }).detach();
            }
            auto index = static_cast<std::uint32_t>(event.data.u64);
            const auto& slot = slots_[index];
            if (slot.generation != static_cast<std::uint32_t>(event.data.u64 >> 32)) continue;
            target = slot.target.lock();
            ready = slot.ready;
        }
        if (target) ready(target.get(), event.events);
    }
}

}  // namespace velmora::kit::xpc
