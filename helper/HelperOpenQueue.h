#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "kit/VelmoraHelperIdentity.h"
#include "platform/Dispatch.h"

namespace velmora::helper {

// Shell opens waiting for one of a few threads of their own (opening may block on lookups, client
// paths and fork). A terminal that restores its windows sends dozens at once, so nothing is refused:
// each owner's opens keep their order, and owners with opens waiting take turns, so that one client's
// hundreds of queued opens hold up another client's single open by a few opens at most. The queue
// needs no bound of its own: the transport stops reading a connection with 256 calls unanswered.
class HelperOpenQueue {
  public:
    // How a task is called, exactly once: on its turn, or because its owner was dropped before that.
    enum class Call { turn, ownerDropped };
    using Task = std::function<void(Call)>;

    static constexpr unsigned kThreads = 4;

    // The process's queue, for every session.
    static HelperOpenQueue& shared() {
        static auto* const queue = new HelperOpenQueue(platform::DispatchQueue::createBlocking(
            std::string(kit::VelmoraHelperIdentity::bundleIdentifier) + ".shell-open", kThreads));
        return *queue;
    }

    explicit HelperOpenQueue(std::shared_ptr<platform::DispatchQueue> threads)
        : threads_(std::move(threads)) {}

    void enqueue(const void* owner, Task task) {
        {
            std::lock_guard guard(mutex_);
            auto& waiting = waiting_[owner];
            if (waiting.empty()) turns_.push_back(owner);
            waiting.push_back(std::move(task));
        }
        // One turn per task; a turn whose task was dropped meanwhile finds another or nothing.
        threads_->async([this] {
            if (auto turn = next()) (*turn)(Call::turn);
        });
    }

    // Calls each of the owner's waiting tasks with ownerDropped, in order; none of them runs afterwards.
    void drop(const void* owner) {
        std::deque<Task> dropped;
        {
            std::lock_guard guard(mutex_);
            auto found = waiting_.find(owner);
            if (found == waiting_.end()) return;
            dropped.swap(found->second);
            waiting_.erase(found);
            std::erase(turns_, owner);
        }
        for (auto& task : dropped) task(Call::ownerDropped);
    }

  private:
    // The first task of the owner whose turn it is; that owner goes to the back of the line.
    std::optional<Task> next() {
        std::lock_guard guard(mutex_);
        if (turns_.empty()) return std::nullopt;
        const void* owner = turns_.front();
        turns_.pop_front();
        auto found = waiting_.find(owner);
        Task task = std::move(found->second.front());
        found->second.pop_front();
        if (found->second.empty())
            waiting_.erase(found);
        else
            turns_.push_back(owner);
        return task;
    }

    const std::shared_ptr<platform::DispatchQueue> threads_;
    std::mutex mutex_;
    std::unordered_map<const void*, std::deque<Task>> waiting_;
    std::deque<const void*> turns_;  // owners with tasks waiting, whose turn comes in this order
};

}  // namespace velmora::helper
