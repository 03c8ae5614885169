#include "kit/xpc/Listener.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/DispatchAsio.h"
#include "platform/Environment.h"
#include "platform/Logger.h"
#include "platform/SocketActivation.h"

namespace velmora::kit::xpc {

using platform::SystemError;
using platform::UniqueFd;

struct Listener::Impl {
    explicit Impl(int descriptor)
        : strand(asio::make_strand(platform::sharedIoContext())),
          socket(strand, descriptor),
          retryTimer(strand) {}

    asio::strand<asio::io_context::executor_type> strand;
    asio::posix::stream_descriptor socket;
    asio::steady_timer retryTimer;
    platform::UniqueFd lock;  // held while serving a socket bound here

    std::mutex mutex;
    std::weak_ptr<ListenerDelegate> delegate;
    bool resumed = false;
    bool invalidated = false;
    bool reportedExhaustion = false;
};

std::string ListenerError::description() const {
    if (kind == Kind::alreadyServing) return "another server is already listening on " + path;
    if (kind == Kind::unsafeDirectory) return "refusing to listen at " + path + ": " + detail;
    return path + ": " + error.description();
}

namespace {
tl::expected<sockaddr_un, SystemError> addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return tl::unexpected(SystemError{"bind", ENAMETOOLONG});
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

// True when a server accepts connections on `address`.
bool answers(const sockaddr_un& address) {
    UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!probe.valid()) return false;
    return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 ||
           errno == EAGAIN;  // a full backlog still means someone is listening
}
}  // namespace

tl::expected<std::shared_ptr<Listener>, ListenerError> Listener::bindService(const std::string& directory,
                                                                             const std::string& serviceName) {
    std::string path = directory + "/" + serviceName;
    auto fail = [&](SystemError error) {
        return tl::unexpected(ListenerError{ListenerError::Kind::system, path, std::move(error)});
    };
    auto address = addressOf(path);
    if (!address) return fail(address.error());
    // Anyone who may enter or change the folder could take the socket's place or imitate it.
    if (auto checked = platform::checkPrivateDirectory(directory); !checked)
        return tl::unexpected(ListenerError{ListenerError::Kind::unsafeDirectory, path, {}, checked.error()});
    // Probing for a live server, removing a dead one's file and binding are one step only for whoever
    // holds this lock; without it, a server probing between another's bind and listen would find
    // nobody answering and take the live socket's place.
    UniqueFd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.valid()) return fail(SystemError::fromErrno("open"));
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return tl::unexpected(
                ListenerError{ListenerError::Kind::alreadyServing, path, {"flock", EWOULDBLOCK}});
        return fail(SystemError::fromErrno("flock"));
    }
    UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid()) return fail(SystemError::fromErrno("socket"));
    // The file takes the socket's mode when bind creates it, so no other user can ever reach it.
    if (::fchmod(socket.get(), 0600) != 0) return fail(SystemError::fromErrno("fchmod"));
    auto bindOnce = [&] {
        return ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) == 0;
    };
    if (!bindOnce()) {
        if (errno != EADDRINUSE) return fail(SystemError::fromErrno("bind"));
        if (answers(*address))
            return tl::unexpected(ListenerError{ListenerError::Kind::alreadyServing, path, {"connect", 0}});
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) return fail(SystemError::fromErrno("lstat"));
        if (!S_ISSOCK(status.st_mode)) return fail(SystemError{"bind", EADDRINUSE});
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(SystemError::fromErrno("unlink"));
        if (!bindOnce()) return fail(SystemError::fromErrno("bind"));
    }
    if (::chmod(path.c_str(), 0600) != 0) return fail(SystemError::fromErrno("chmod"));
    if (::listen(socket.get(), SOMAXCONN) != 0) return fail(SystemError::fromErrno("listen"));
    auto listener = std::shared_ptr<Listener>(new Listener(std::move(socket), serviceName, path));
    listener->impl_->lock = std::move(lock);
    return listener;
}

tl::expected<std::shared_ptr<Listener>, SystemError> Listener::adopt(UniqueFd listeningSocket,
                                                                     std::string serviceName) {
    int flags = ::fcntl(listeningSocket.get(), F_GETFL);
    if (flags < 0 || ::fcntl(listeningSocket.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return tl::unexpected(SystemError::fromErrno("fcntl"));
    if (::fcntl(listeningSocket.get(), F_SETFD, FD_CLOEXEC) != 0)
        return tl::unexpected(SystemError::fromErrno("fcntl"));
    return std::shared_ptr<Listener>(new Listener(std::move(listeningSocket), std::move(serviceName), {}));
}

tl::expected<std::vector<ActivatedSocket>, SystemError> Listener::socketsFromServiceManager() {
    auto passed = platform::takeListeningDescriptors();
    if (!passed) return tl::unexpected(passed.error());
    std::vector<ActivatedSocket> sockets;
    // Anything else the unit passes is closed rather than served.
    for (auto& [name, fd] : *passed)
        if (platform::isListeningSocket(fd.get(), AF_UNIX, SOCK_SEQPACKET))
            sockets.push_back({std::move(name), std::move(fd)});
    return sockets;
}

Listener::Listener(UniqueFd socket, std::string serviceName, std::string path)
    : impl_(std::make_unique<Impl>(socket.release())),
      serviceName_(std::move(serviceName)),
      path_(std::move(path)) {}

Listener::~Listener() = default;

void Listener::setDelegate(std::weak_ptr<ListenerDelegate> delegate) {
    std::lock_guard lock(impl_->mutex);
    impl_->delegate = std::move(delegate);
}

void Listener::resume() {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->resumed || impl_->invalidated) return;
        impl_->resumed = true;
    }
    asio::post(impl_->strand, [self = shared_from_this()] { self->waitForConnection(); });
}

void Listener::invalidate() {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->invalidated) return;
        impl_->invalidated = true;
    }
    asio::post(impl_->strand, [self = shared_from_this()] {
        asio::error_code ignored;
        self->impl_->retryTimer.cancel();
        self->impl_->socket.close(ignored);
        // Nobody answers on the file now: the next server may replace it.
        self->impl_->lock.reset();
    });
}

void Listener::waitForConnection() {
    impl_->socket.async_wait(asio::posix::stream_descriptor::wait_read,
                             [self = shared_from_this()](const asio::error_code& error) {
                                 if (!error) self->acceptReady();
                             });
}

void Listener::acceptReady() {
    for (;;) {
        {
            std::lock_guard lock(impl_->mutex);
            if (impl_->invalidated) return;
        }
        UniqueFd accepted(
            ::accept4(impl_->socket.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!accepted.valid()) {
            int code = errno;
            if (code == EAGAIN || code == EWOULDBLOCK) break;
            if (code == EINTR || code == ECONNABORTED) continue;
            // Out of descriptors or memory: the connection stays in the backlog; try again shortly
            // instead of spinning on a socket that stays readable.
            if (!std::exchange(impl_->reportedExhaustion, true))
                platform::LogCategory::service.error("Cannot accept on " + serviceName_ + ": " +
                                                     SystemError{"accept4", code}.description());
            impl_->retryTimer.expires_after(kAcceptRetryDelay);
            impl_->retryTimer.async_wait([self = shared_from_this()](const asio::error_code& error) {
                if (!error) self->acceptReady();
            });
            return;
        }
        impl_->reportedExhaustion = false;
        auto connection = Connection::adopt(std::move(accepted), Handshake::announce);
        if (!connection) continue;  // the peer vanished before we could read its credentials
        std::shared_ptr<ListenerDelegate> delegate;
        {
            std::lock_guard lock(impl_->mutex);
            delegate = impl_->delegate.lock();
        }
        if (!delegate || !delegate->shouldAcceptNewConnection(*this, *connection))
            (*connection)->invalidate();
    }
    waitForConnection();
}

}  // namespace velmora::kit::xpc
