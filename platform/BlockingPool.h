#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace velmora::platform {

// Threads for work that may block, started when work arrives and no thread is free, each ending after
// `idleTimeout` without work, so that an idle process holds none of them. At most `maxThreads` tasks
// run at once; the rest wait in submission order. Safe from any thread.
class BlockingPool {
  public:
    static constexpr std::chrono::seconds kDefaultIdleTimeout{10};

    explicit BlockingPool(unsigned maxThreads,
                          std::chrono::steady_clock::duration idleTimeout = kDefaultIdleTimeout);
    // Drops the tasks not yet started and waits for the running ones to finish.
    ~BlockingPool();
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    void post(std::function<void()> task);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace velmora::platform
