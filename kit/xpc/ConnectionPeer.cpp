// Opening a connection and admitting its peer: who the peer is, the checks it must pass, and the
// handshake that starts the conversation.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "kit/xpc/Connection.h"
#include "kit/xpc/ConnectionImpl.h"
#include "kit/xpc/PacketIO.h"
#include "platform/Descriptors.h"

namespace velmora::kit::xpc {

using platform::SystemError;
using platform::UniqueFd;

tl::expected<std::shared_ptr<Connection>, SystemError> Connection::connectToService(
    const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path))
        return tl::unexpected(SystemError{"connect", ENAMETOOLONG});
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return tl::unexpected(SystemError::fromErrno("socket"));
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return tl::unexpected(SystemError::fromErrno("connect"));
    return adopt(std::move(socket), Handshake::await);
}

tl::expected<std::shared_ptr<Connection>, SystemError> Connection::adopt(UniqueFd socket,
                                                                         Handshake handshake) {
    PeerCredentials peer;
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return tl::unexpected(SystemError::fromErrno("getsockopt"));
    peer = PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
    int flags = ::fcntl(socket.get(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return tl::unexpected(SystemError::fromErrno("fcntl"));
    // Before the peer can have been admitted, so every packet it may send carries its sender's pid.
    int passCredentials = 1;
    if (handshake == Handshake::announce &&
        ::setsockopt(socket.get(), SOL_SOCKET, SO_PASSCRED, &passCredentials, sizeof passCredentials) != 0)
        return tl::unexpected(SystemError::fromErrno("setsockopt"));
    UniqueFd process = platform::peerPidfd(socket.get(), peer.pid);
    peer.pidfd = process.get();
    auto connection = std::shared_ptr<Connection>(new Connection(std::make_unique<Impl>(socket.release())));
    connection->peer_ = peer;
    connection->peerProcess_ = std::move(process);
    connection->impl_->handshake = handshake;
    connection->impl_->accepted = handshake == Handshake::none;
    return connection;
}

void Connection::resume() {
    PeerRequirement requirement;
    AsynchronousPeerRequirement asynchronousRequirement;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->resumed || impl_->state == Impl::State::ended) return;
        impl_->resumed = true;
        requirement = impl_->requirement;
        asynchronousRequirement = impl_->asynchronousRequirement;
    }
    std::optional<std::string> refusal;
    if (peer_.uid != ::geteuid())
        refusal = "peer runs as user " + std::to_string(peer_.uid) + ", not " + std::to_string(::geteuid());
    else if (requirement) {
        if (auto met = requirement(peer_); !met) refusal = std::move(met.error());
    }
    if (refusal || !asynchronousRequirement) return admitPeer(std::move(refusal));
    peer_.hungUp = [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return true;
        std::lock_guard lock(self->impl_->mutex);
        return self->impl_->state == Impl::State::ended || hasHungUp(self->impl_->fd);
    };
    // The decision keeps the connection, and so the credentials' descriptor, alive until it comes.
    asynchronousRequirement(peer_, [self = shared_from_this()](std::optional<std::string> decided) {
        self->admitPeer(std::move(decided));
    });
}

void Connection::admitPeer(std::optional<std::string> refusal) {
    // The peer's pidfd served the decision only; a connection should cost one descriptor.
    peerProcess_.reset();
    peer_.pidfd = -1;
    if (refusal) {
        logError(peer_, "peer requirement not met: " + *refusal);
        end(EndCause::local, *refusal);
        return;
    }
    if (impl_->handshake == Handshake::announce && !announceAcceptance()) return;
    tl::expected<void, SystemError> armed;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state == Impl::State::ended) return;
        impl_->state = Impl::State::active;
        impl_->self = shared_from_this();
        if (!impl_->handling) armed = armLocked();
    }
    if (!armed) end(EndCause::local, armed.error().description());
}

bool Connection::announceAcceptance() {
    EarlyInput early = EarlyInput::none;
    tl::expected<void, SystemError> announced;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state == Impl::State::ended) return false;
        early = inputWaiting(impl_->fd);
        if (early == EarlyInput::none) {
            announced = sendPacket(impl_->fd, kAcceptedAnnouncement, {});
            if (announced) impl_->accepted = true;
        }
    }
    if (early == EarlyInput::packet) {
        logError(peer_, "it sent a packet before it was admitted, so before its executable was checked");
        end(EndCause::local, "sent before admitted");
    } else if (early == EarlyInput::endOfFile) {
        end(EndCause::peer, "end of file");
    } else if (!announced) {
        end(EndCause::peer, announced.error().description());
    }
    return early == EarlyInput::none && announced.has_value();
}

bool Connection::takeAcceptance(std::string_view packet) {
    // Only the thread handling the socket sets it on this end, so reading it unlocked is current.
    if (impl_->accepted.load(std::memory_order_relaxed)) return false;
    if (isAcceptedAnnouncement(packet)) {
        {
            std::lock_guard lock(impl_->mutex);
            impl_->accepted = true;
        }
        flushQueue();  // what was held goes out now, in order
        return true;
    }
    logError(peer_, "its first packet is not \"rpc.accepted\"");
    end(EndCause::local, "no acceptance");
    return true;
}

}  // namespace velmora::kit::xpc
