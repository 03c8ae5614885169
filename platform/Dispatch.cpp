#include "platform/Dispatch.h"

#include <poll.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/BlockingPool.h"
#include "platform/Descriptors.h"
#include "platform/DispatchAsio.h"

namespace velmora::platform {

namespace {
// Enough threads that a blocking sync hop or a slow task does not stall the loop.
constexpr unsigned kWorkerThreads = 4;

// The serial queues whose task the current thread is running, innermost last.
thread_local std::vector<const DispatchQueue*> currentQueues;

struct CurrentQueueScope {
    explicit CurrentQueueScope(const DispatchQueue* queue) { currentQueues.push_back(queue); }
    ~CurrentQueueScope() { currentQueues.pop_back(); }
};
}  // namespace

// ---- DispatchContext

DispatchContext::DispatchContext() : impl_(std::make_unique<Impl>()) {}

DispatchContext& DispatchContext::shared() {
    // Never destroyed: worker threads run until the process exits.
    static DispatchContext* context = [] {
        auto* created = new DispatchContext();
        auto& io = created->impl_->io;
        static auto guard = asio::make_work_guard(io);
        for (unsigned i = 0; i < kWorkerThreads; ++i) std::thread([&io] { io.run(); }).detach();
        return created;
    }();
    return *context;
}

void DispatchContext::runOnCurrentThread() {
    for (;;) impl_->io.run();
}

// ---- DispatchQueue

DispatchQueue::DispatchQueue(std::string label, Kind kind)
    : label_(std::move(label)), kind_(kind), impl_(std::make_unique<Impl>()) {
    auto& io = sharedIoContext();
    impl_->executor = kind == Kind::serial ? asio::any_io_executor(asio::make_strand(io))
                                           : asio::any_io_executor(io.get_executor());
}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(std::string label) {
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), Kind::serial));
}

DispatchQueue::DispatchQueue(std::string label, std::unique_ptr<Impl> impl)
    : label_(std::move(label)), kind_(Kind::concurrent), impl_(std::move(impl)) {}

namespace {
// A blocking queue's threads as an Asio executor, so that the queue is posted to like any other.
class BlockingExecutor {
  public:
    struct Pool {
        explicit Pool(unsigned count) : threads(count) {}
        BlockingPool threads;
        asio::execution_context context;
    };
    explicit BlockingExecutor(Pool& pool) noexcept : pool_(&pool) {}

    asio::execution_context& query(asio::execution::context_t) const noexcept { return pool_->context; }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    BlockingExecutor require(asio::execution::blocking_t::never_t) const noexcept { return *this; }

    template <typename Function>
    void execute(Function function) const {
        // Asio's handlers are move-only; the pool takes copyable tasks.
        auto shared = std::make_shared<Function>(std::move(function));
        pool_->threads.post([shared] { (*shared)(); });
    }

    friend bool operator==(const BlockingExecutor& a, const BlockingExecutor& b) noexcept {
        return a.pool_ == b.pool_;
    }

  private:
    Pool* pool_;
};
}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::createBlocking(std::string label, unsigned threads) {
    // Never destroyed, like the shared context: its threads may still be blocked when the process ends.
    // They start when work comes and end after a while without it, so an idle helper holds none.
    auto* pool = new BlockingExecutor::Pool(threads);
    auto impl = std::make_unique<Impl>();
    impl->executor = BlockingExecutor(*pool);
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), std::move(impl)));
}

std::shared_ptr<DispatchQueue> DispatchQueue::utility() {
    static const std::shared_ptr<DispatchQueue> queue(new DispatchQueue("utility", Kind::concurrent));
    return queue;
}

void DispatchQueue::async(std::function<void()> work) {
    // Only the queue's identity is captured: a task may outlive the queue object that posted it.
    const DispatchQueue* identity = kind_ == Kind::serial ? this : nullptr;
    asio::post(impl_->executor, [identity, work = std::move(work)] {
        CurrentQueueScope scope(identity);
        work();
    });
}

void DispatchQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    const DispatchQueue* identity = kind_ == Kind::serial ? this : nullptr;
    asio::post(impl_->executor, [identity, &work, &done] {
        {
            CurrentQueueScope scope(identity);
            work();
        }
        done.set_value();
    });
    done.get_future().wait();
}

bool DispatchQueue::isCurrent() const {
    for (const auto* queue : currentQueues)
        if (queue == this) return true;
    return false;
}

// ---- OneShotTimer

struct OneShotTimer::State {
    std::mutex mutex;
    bool cancelled = false;
    std::function<void()> handler;
    std::shared_ptr<DispatchQueue> queue;
    // The timer's own operations are serialised on a private strand, whatever kind the target queue is.
    asio::strand<asio::io_context::executor_type> strand{asio::make_strand(sharedIoContext())};
    asio::steady_timer timer{strand};

    // Takes the handler unless cancelled; the caller runs it outside the lock.
    std::function<void()> take() {
        std::lock_guard lock(mutex);
        if (cancelled) return nullptr;
        cancelled = true;
        return std::move(handler);
    }
};

std::unique_ptr<OneShotTimer> OneShotTimer::schedule(std::shared_ptr<DispatchQueue> queue,
                                                     std::chrono::steady_clock::duration delay,
                                                     std::function<void()> handler) {
    auto state = std::make_shared<State>();
    state->handler = std::move(handler);
    state->queue = std::move(queue);
    asio::post(state->strand, [state, delay] {
        state->timer.expires_after(delay);
        state->timer.async_wait([state](const asio::error_code& error) {
            if (error) return;
            state->queue->async([state] {
                if (auto task = state->take()) task();
            });
        });
    });
    return std::unique_ptr<OneShotTimer>(new OneShotTimer(std::move(state)));
}

OneShotTimer::~OneShotTimer() {
    cancel();
}

void OneShotTimer::cancel() {
    std::function<void()> dropped;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        dropped = std::move(state_->handler);
    }
    asio::post(state_->strand, [state = state_] { state->timer.cancel(); });
    // `dropped` (and whatever it captured) is released here, outside the lock.
}

// ---- ProcessExitSource

struct ProcessExitSource::State {
    std::mutex mutex;
    bool cancelled = false;
    std::function<void()> handler;
    std::shared_ptr<DispatchQueue> queue;
    // Declared before the descriptor, so it is still open when the descriptor lets go of it.
    std::shared_ptr<const UniqueFd> pidfd;
    asio::strand<asio::io_context::executor_type> strand{asio::make_strand(sharedIoContext())};
    asio::posix::stream_descriptor descriptor{strand};

    // The reactor forgets the descriptor without closing it: the pidfd closes with its last owner.
    ~State() { stopWatching(); }
    void stopWatching() {
        if (descriptor.is_open()) (void)descriptor.release();
    }

    std::function<void()> take() {
        std::lock_guard lock(mutex);
        if (cancelled) return nullptr;
        cancelled = true;
        return std::move(handler);
    }
    std::shared_ptr<DispatchQueue> currentQueue() {
        std::lock_guard lock(mutex);
        return queue;
    }
};

namespace {
using ExitState = std::shared_ptr<ProcessExitSource::State>;

// Whether the process has really exited. The reactor's readiness may be spurious (a stale event for a
// recycled registration), so it is always checked against the pidfd itself before anyone is told.
bool exitVisible(const ExitState& state) {
    pollfd entry{state->descriptor.native_handle(), POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

// On the source's strand; may run twice (event and first look), the handler still runs once.
void fireExitSource(const ExitState& state) {
    state->stopWatching();
    state->currentQueue()->async([state] {
        if (auto task = state->take()) task();
    });
}

void awaitExit(const ExitState& state) {
    state->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                 [state](const asio::error_code& error) {
                                     if (error || !state->descriptor.is_open()) return;
                                     if (exitVisible(state))
                                         fireExitSource(state);
                                     else
                                         awaitExit(state);
                                 });
}
}  // namespace

tl::expected<std::unique_ptr<ProcessExitSource>, SystemError> ProcessExitSource::watch(
    pid_t pid, std::shared_ptr<DispatchQueue> queue, std::function<void()> handler) {
    auto pidfd = openPidfd(pid);
    if (!pidfd) return tl::unexpected(pidfd.error());
    return watch(std::move(*pidfd), std::move(queue), std::move(handler));
}

tl::expected<std::unique_ptr<ProcessExitSource>, SystemError> ProcessExitSource::watch(
    UniqueFd pidfd, std::shared_ptr<DispatchQueue> queue, std::function<void()> handler) {
    return watch(std::make_shared<const UniqueFd>(std::move(pidfd)), std::move(queue), std::move(handler));
}

tl::expected<std::unique_ptr<ProcessExitSource>, SystemError> ProcessExitSource::watch(
    std::shared_ptr<const UniqueFd> pidfd, std::shared_ptr<DispatchQueue> queue,
    std::function<void()> handler) {
    auto state = std::make_shared<State>();
    state->handler = std::move(handler);
    state->queue = std::move(queue);
    state->pidfd = std::move(pidfd);
    asio::error_code assignError;
    state->descriptor.assign(state->pidfd->get(), assignError);
    if (assignError) return tl::unexpected(SystemError{"epoll_ctl", assignError.value()});
    asio::post(state->strand, [state] {
        if (!state->descriptor.is_open()) return;  // cancelled before the watch began
        awaitExit(state);
        // The reactor watches edge-triggered and has registered the pidfd already: an exit that
        // happened before the wait was queued may have been consumed with no waiter. Look once.
        if (exitVisible(state)) fireExitSource(state);
    });
    return std::unique_ptr<ProcessExitSource>(new ProcessExitSource(std::move(state)));
}

ProcessExitSource::~ProcessExitSource() {
    cancel();
}

void ProcessExitSource::cancel() {
    std::function<void()> dropped;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        dropped = std::move(state_->handler);
    }
    asio::post(state_->strand, [state = state_] { state->stopWatching(); });
}

bool ProcessExitSource::retarget(std::shared_ptr<DispatchQueue> queue, std::function<void()> handler) {
    std::function<void()> replaced;
    std::shared_ptr<DispatchQueue> replacedQueue;
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return false;
    replaced = std::exchange(state_->handler, std::move(handler));
    replacedQueue = std::exchange(state_->queue, std::move(queue));
    return true;
}

}  // namespace velmora::platform
