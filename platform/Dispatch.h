#pragma once

// The dispatch layer: queues, timers and process-exit sources on one shared event loop.
//
// One io_context serves the whole process. A small pool of threads runs it; in service mode the main
// thread joins them for good (DispatchContext::runOnCurrentThread). Everything below is a handle onto
// that context:
//
// - DispatchQueue: a serial queue (an Asio strand: one task at a time, in submission order) or the
//   shared concurrent utility queue. `async` posts; `sync` posts and waits, and runs the work inline
//   when the caller is already on that serial queue, so a queue never waits for itself.
// - OneShotTimer: runs a handler once on a queue after a delay, unless cancelled first. Dropping the
//   timer cancels it. Once cancel() has returned, the handler will not start (it may already be
//   running on another thread).
// - ProcessExitSource: runs a handler once on a queue when a process exits, watched through its pidfd.
//   Nothing polls and nothing blocks in waitpid; reaping stays with the owner. Same cancel rules.
//   The source never closes a pidfd it shares with its owner; one pidfd has at most one source.
// - Blocking queues run work that may wait on the outside world (account lookups, paths on hung
//   mounts, fork) on threads of their own, so that it never holds up the shared loop.
//
// Handlers hold whatever references they capture; capture weak references to owners so that a timer
// or source never keeps its owner alive.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <tl/expected.hpp>

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::platform {

class DispatchContext {
  public:
    // The process's context, started on first use with its worker threads.
    static DispatchContext& shared();

    // Runs the event loop on the calling thread; never returns.
    [[noreturn]] void runOnCurrentThread();

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    DispatchContext();
    std::unique_ptr<Impl> impl_;
};

class DispatchQueue {
  public:
    enum class Kind { serial, concurrent };

    // A new serial queue; `label` names it in logs and debuggers.
    static std::shared_ptr<DispatchQueue> createSerial(std::string label);
    // The shared utility-priority queue (concurrent).
    static std::shared_ptr<DispatchQueue> utility();
    // A new concurrent queue served by `threads` threads of its own, outside the shared loop; its tasks
    // may block. At most `threads` tasks run at once; the rest wait in submission order.
    static std::shared_ptr<DispatchQueue> createBlocking(std::string label, unsigned threads);

    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    void async(std::function<void()> work);
    // Runs `work` on the queue and returns when it has finished. A caller on a pool thread keeps that
    // thread busy while it waits, so such hops must stay few at any one time (the service makes at
    // most one per listener and one for the open-shell count, well under the pool's size).
    void sync(const std::function<void()>& work);
    // True when the calling thread is running a task of this (serial) queue.
    [[nodiscard]] bool isCurrent() const;

    [[nodiscard]] const std::string& label() const { return label_; }
    [[nodiscard]] Kind kind() const { return kind_; }

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    DispatchQueue(std::string label, Kind kind);
    DispatchQueue(std::string label, std::unique_ptr<Impl> impl);
    std::string label_;
    Kind kind_;
    std::unique_ptr<Impl> impl_;
};

class OneShotTimer {
  public:
    static std::unique_ptr<OneShotTimer> schedule(std::shared_ptr<DispatchQueue> queue,
                                                  std::chrono::steady_clock::duration delay,
                                                  std::function<void()> handler);
    ~OneShotTimer();
    OneShotTimer(const OneShotTimer&) = delete;
    OneShotTimer& operator=(const OneShotTimer&) = delete;

    // Idempotent; safe from any thread, including the handler itself.
    void cancel();

    struct State;

  private:
    explicit OneShotTimer(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

class ProcessExitSource {
  public:
    // Watches `pid` (which must be a child or otherwise visible process) through a new pidfd.
    [[nodiscard]] static tl::expected<std::unique_ptr<ProcessExitSource>, SystemError> watch(
        pid_t pid, std::shared_ptr<DispatchQueue> queue, std::function<void()> handler);
    // Watches the process that `pidfd` refers to; the source takes ownership of the descriptor.
    // Unlike a pid, a pidfd cannot come to name another process once the first has been reaped.
    [[nodiscard]] static tl::expected<std::unique_ptr<ProcessExitSource>, SystemError> watch(
        UniqueFd pidfd, std::shared_ptr<DispatchQueue> queue, std::function<void()> handler);
    // The same with a pidfd the caller keeps using: it stays open while the source needs it, and is
    // closed by whoever lets go of it last. Never watch one pidfd with two live sources.
    [[nodiscard]] static tl::expected<std::unique_ptr<ProcessExitSource>, SystemError> watch(
        std::shared_ptr<const UniqueFd> pidfd, std::shared_ptr<DispatchQueue> queue,
        std::function<void()> handler);
    ~ProcessExitSource();
    ProcessExitSource(const ProcessExitSource&) = delete;
    ProcessExitSource& operator=(const ProcessExitSource&) = delete;

    // Idempotent; safe from any thread, including the handler itself.
    void cancel();
    // Hands the watch to a new handler and queue, keeping the one registration. False when the source
    // has been cancelled or its handler already taken. An exit seen just before may still be delivered
    // on the former queue (to the new handler).
    [[nodiscard]] bool retarget(std::shared_ptr<DispatchQueue> queue, std::function<void()> handler);

    struct State;

  private:
    explicit ProcessExitSource(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace velmora::platform
