#pragma once

// The state of a Connection, shared by the files that implement it (lifecycle, admission, reading,
// sending). Not part of the kit's interface.

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>

#include "kit/xpc/Connection.h"
#include "kit/xpc/SocketReactor.h"
#include "platform/Logger.h"

namespace velmora::kit::xpc {

// A burst of connections leaves its freed memory scattered over the allocator's arenas, which keep
// it. Each time the connections alive have fallen to half of their most since the last hand-back, and
// by many, the free pages go back to the system: a few trims per burst, none in steady use.
class LiveConnections {
  public:
    static void began() {
        std::lock_guard lock(mutex_);
        peak_ = std::max(peak_, ++live_);
    }
    static void ended() {
        bool trim = false;
        {
            std::lock_guard lock(mutex_);
            --live_;
            if (peak_ - live_ >= kTrimAfter && live_ <= peak_ / 2) {
                peak_ = live_;
                trim = true;
            }
        }
        if (trim) ::malloc_trim(0);
    }

  private:
    static constexpr size_t kTrimAfter = 32;
    static inline std::mutex mutex_;
    static inline size_t live_ = 0;
    static inline size_t peak_ = 0;
};

struct QueuedPacket {
    std::string bytes;
    std::vector<platform::UniqueFd> fds;
};

inline void logError(const PeerCredentials& peer, std::string_view reason) {
    platform::LogCategory::service.error("Ending connection from pid=" + std::to_string(peer.pid) + ": " +
                                         std::string(reason));
}

struct Connection::Impl {
    explicit Impl(int descriptor) : socket(descriptor), fd(descriptor) { LiveConnections::began(); }
    ~Impl() { LiveConnections::ended(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Closed under `mutex`, and never while a reactor thread is handling the socket.
    platform::UniqueFd socket;
    const int fd;

    enum class State { suspended, active, ended };

    mutable std::mutex mutex;
    State state = State::suspended;
    bool resumed = false;
    std::optional<InterfaceDescription> exportedInterface;
    std::optional<InterfaceDescription> remoteInterface;
    std::optional<detail::ExportedObject> exported;
    std::function<void()> invalidationHandler;
    std::function<void()> interruptionHandler;
    PeerRequirement requirement;
    AsynchronousPeerRequirement asynchronousRequirement;
    std::map<std::int64_t, detail::PendingCall> pending;
    std::int64_t nextId = 1;
    std::deque<QueuedPacket> queue;
    size_t queuedBytes = 0;
    // The reactor's watch of the socket, from the first time it is armed until it is closed.
    std::optional<std::uint64_t> watchKey;
    // A reactor thread is handling the socket: it re-arms the watch, or closes the socket, when done.
    bool handling = false;
    std::uint32_t missedEvents = 0;
    // Calls delivered with a reply that has not answered yet (briefly negative when one answers at once).
    std::ptrdiff_t unanswered = 0;
    Handshake handshake = Handshake::none;
    // "rpc.accepted" has been announced (accepting end) or heard (connecting end); until then nothing
    // is sent, only held in `queue`.
    std::atomic<bool> accepted = true;
    // An admitted connection keeps itself alive until it ends.
    std::shared_ptr<Connection> self;

    void closeSocket() {
        if (watchKey) SocketReactor::shared().forget(fd, *watchKey);
        watchKey.reset();
        socket.reset();
    }
};

}  // namespace velmora::kit::xpc
