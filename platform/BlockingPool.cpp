#include "platform/BlockingPool.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace velmora::platform {

struct BlockingPool::State {
    const unsigned maxThreads;
    const std::chrono::steady_clock::duration idleTimeout;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    std::deque<std::function<void()>> tasks;
    unsigned threads = 0;
    unsigned idle = 0;
    unsigned starting = 0;  // started, not yet waiting for work
    bool stopping = false;
    // A thread that ends for want of work lets go of itself; those still running when the pool stops
    // are joined, so that none is still unwinding (thread-local destructors, libraries' per-thread
    // state) once the destructor has returned.
    std::vector<std::thread> workers;

    State(unsigned max, std::chrono::steady_clock::duration timeout)
        : maxThreads(max), idleTimeout(timeout) {}

    // One thread's life: tasks until none came for idleTimeout or the pool stops.
    static void run(const std::shared_ptr<State>& state) {
        std::unique_lock lock(state->mutex);
        --state->starting;
        for (;;) {
            ++state->idle;
            bool hasWork = state->wake.wait_for(lock, state->idleTimeout,
                                                [&] { return state->stopping || !state->tasks.empty(); });
            --state->idle;
            if (!hasWork || state->stopping) break;
            auto task = std::move(state->tasks.front());
            state->tasks.pop_front();
            lock.unlock();
            task();
            task = nullptr;  // whatever it captured goes outside the lock
            lock.lock();
        }
        if (!state->stopping) {
            auto self = std::find_if(
                state->workers.begin(), state->workers.end(),
                [](const std::thread& worker) { return worker.get_id() == std::this_thread::get_id(); });
            if (self != state->workers.end()) {
                self->detach();
                state->workers.erase(self);
            }
        }
        if (--state->threads == 0) state->finished.notify_all();
    }
};

BlockingPool::BlockingPool(unsigned maxThreads, std::chrono::steady_clock::duration idleTimeout)
    : state_(std::make_shared<State>(maxThreads == 0 ? 1 : maxThreads, idleTimeout)) {}

BlockingPool::~BlockingPool() {
    std::deque<std::function<void()>> dropped;  // released after the lock
    std::vector<std::thread> workers;
    {
        std::unique_lock lock(state_->mutex);
        state_->stopping = true;
        dropped.swap(state_->tasks);
        state_->wake.notify_all();
        state_->finished.wait(lock, [&] { return state_->threads == 0; });
        workers.swap(state_->workers);
    }
    for (auto& worker : workers) worker.join();
}

void BlockingPool::post(std::function<void()> task) {
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
    // Idle threads take queued tasks first; a new thread only for what they cannot take.
    if (state_->tasks.size() > state_->idle + state_->starting && state_->threads < state_->maxThreads) {
        try {
            state_->workers.emplace_back([state = state_] { State::run(state); });
            ++state_->threads;
            ++state_->starting;
        } catch (const std::system_error&) {
            // No thread now: the task waits for a running thread or the next post.
        }
    }
    if (state_->idle > 0) state_->wake.notify_one();
}

}  // namespace velmora::platform
