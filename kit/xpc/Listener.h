#pragma once

// A named service: a listening SOCK_SEQPACKET socket that hands each new connection to its delegate.
//
// The socket is either bound here, at <directory>/<service name> with mode 0600 from the moment it
// exists, or inherited from the service manager (socket activation). A socket file left by a dead
// server (connect refused) is replaced; one that answers belongs to a live server and is never taken.
// A server binding here holds an exclusive lock on <directory>/<service name>.lock until it stops, so
// servers started at once never both bind.
// Accepting survives running out of descriptors: the pending connection waits in the backlog and the
// listener tries again shortly.

#include <chrono>
#include <memory>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "kit/xpc/Connection.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::kit::xpc {

class Listener;

class ListenerDelegate {
  public:
    virtual ~ListenerDelegate() = default;
    // Runs on a transport thread for every new connection. Accepting means: set the connection's
    // exported object and handlers, resume it, return true. Returning false ends the connection.
    virtual bool shouldAcceptNewConnection(Listener& listener,
                                           const std::shared_ptr<Connection>& connection) = 0;
};

struct ListenerError {
    enum class Kind {
        alreadyServing,   // a live server answers on the path, or another server holds its lock
        system,           // a system call failed
        unsafeDirectory,  // the folder is not this user's alone: `detail` says why
    };
    Kind kind = Kind::system;
    std::string path;
    platform::SystemError error;
    std::string detail;

    [[nodiscard]] std::string description() const;
    friend bool operator==(const ListenerError&, const ListenerError&) = default;
};

// A listening socket inherited from the service manager with its name.
struct ActivatedSocket {
    std::string name;
    platform::UniqueFd socket;
};

class Listener : public std::enable_shared_from_this<Listener> {
  public:
    // Binds and listens on <directory>/<serviceName>. Starts suspended.
    [[nodiscard]] static tl::expected<std::shared_ptr<Listener>, ListenerError> bindService(
        const std::string& directory, const std::string& serviceName);
    // Takes over a listening socket (for example one from socketsFromServiceManager()).
    [[nodiscard]] static tl::expected<std::shared_ptr<Listener>, platform::SystemError> adopt(
        platform::UniqueFd listeningSocket, std::string serviceName);
    // The listening AF_UNIX SOCK_SEQPACKET sockets passed by the service manager, with their names;
    // empty when the process was not socket-activated. Clears the activation environment.
    [[nodiscard]] static tl::expected<std::vector<ActivatedSocket>, platform::SystemError>
    socketsFromServiceManager();

    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Not owned: the delegate outlives the listener or the listener stops asking it.
    void setDelegate(std::weak_ptr<ListenerDelegate> delegate);
    // Starts accepting. Idempotent.
    void resume();
    // Stops accepting and closes the socket (a bound socket file stays; the next server replaces it).
    void invalidate();

    [[nodiscard]] const std::string& serviceName() const { return serviceName_; }
    // The socket file's path; empty for an inherited socket.
    [[nodiscard]] const std::string& path() const { return path_; }

    // How long accepting pauses after running out of descriptors.
    static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

    struct Impl;

  private:
    Listener(platform::UniqueFd socket, std::string serviceName, std::string path);
    void waitForConnection();
    void acceptReady();

    std::unique_ptr<Impl> impl_;
    std::string serviceName_;
    std::string path_;
};

}  // namespace velmora::kit::xpc
