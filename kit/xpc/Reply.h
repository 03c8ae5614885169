#pragma once

// A reply block: the one-shot answer to a call.
//
// A Reply is move-only and may travel to any thread and be invoked much later (an update replies minutes
// after its call), exactly once. Invoking consumes it. A Reply destroyed without having been invoked is a
// bug in the code that held it: it is reported in the log, and a reply made by the transport still
// answers its caller with an error so that the caller is never left waiting.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace velmora::kit::xpc {

namespace detail {
// Logs a reply that was dropped or invoked twice (category "service") and tells the test observer.
void reportReplyMisuse(std::string_view selector, std::string_view what) noexcept;
struct ReplyAccess;
}  // namespace detail

// Observes reply misuse reports in tests; pass nullptr to stop observing.
void setReplyMisuseObserverForTesting(std::function<void(std::string_view message)> observer);

template <class... Values>
class Reply {
  public:
    using Handler = std::function<void(Values...)>;

    Reply() = default;
    // A reply that hands its values to `handler` (the calling side's block).
    explicit Reply(Handler handler, std::string selector = {})
        : state_(std::make_unique<State>(State{std::move(handler), nullptr, nullptr, std::move(selector)})) {}

    Reply(Reply&&) noexcept = default;
    Reply& operator=(Reply&& other) noexcept {
        if (this != &other) {
            dropped();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    ~Reply() { dropped(); }

    // Sends the values. A second invocation is reported and does nothing.
    void operator()(Values... values) {
        if (!state_) {
            detail::reportReplyMisuse({}, "invoked more than once or after being moved from");
            return;
        }
        auto state = std::move(state_);
        if (state->handler) state->handler(std::move(values)...);
    }

    // True until the reply has been invoked (or moved away).
    [[nodiscard]] bool pending() const noexcept { return state_ != nullptr; }

  private:
    friend struct detail::ReplyAccess;
    struct State {
        Handler handler;
        std::function<void()> onDrop;
        // Answers the caller with a JSON-RPC error (code, message); set on transport-made replies.
        std::function<void(int, const std::string&)> onError;
        std::string selector;
    };

    void dropped() noexcept {
        if (!state_) return;
        auto state = std::move(state_);
        detail::reportReplyMisuse(state->selector, "was dropped without being called");
        if (state->onDrop) state->onDrop();
    }

    std::unique_ptr<State> state_;
};

namespace detail {
struct ReplyAccess {
    // A transport-made reply: `onDrop` answers the caller when the holder forgets to.
    template <class... Values>
    static Reply<Values...> make(typename Reply<Values...>::Handler handler, std::function<void()> onDrop,
                                 std::function<void(int, const std::string&)> onError, std::string selector) {
        Reply<Values...> reply(std::move(handler), std::move(selector));
        reply.state_->onDrop = std::move(onDrop);
        reply.state_->onError = std::move(onError);
        return reply;
    }
    template <class... Values>
    static void fail(Reply<Values...>& reply, int code, const std::string& message) {
        if (!reply.state_) {
            reportReplyMisuse({}, "failed after being called or moved from");
            return;
        }
        auto state = std::move(reply.state_);
        if (state->onError) {
            state->onError(code, message);
        } else {
            // A local block has no way to carry an error: that is the holder's mistake.
            reportReplyMisuse(state->selector, "was failed but cannot carry an error");
            if (state->onDrop) state->onDrop();
        }
    }
    // Takes the handler out without reporting: the transport completes the call another way (an error).
    template <class... Values>
    static typename Reply<Values...>::Handler release(Reply<Values...>& reply) {
        if (!reply.state_) return {};
        auto state = std::move(reply.state_);
        return std::move(state->handler);
    }
};
}  // namespace detail

// Completes a call with a JSON-RPC error instead of reply values: for calls this end cannot serve.
template <class... Values>
void replyWithError(Reply<Values...> reply, int code, const std::string& message) {
    detail::ReplyAccess::fail(reply, code, message);
}

}  // namespace velmora::kit::xpc
