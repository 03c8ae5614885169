#include "helper/HelperService.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "codesign/VerificationStore.h"
#include "core/HelperBundle.h"
#include "core/HelperLog.h"
#include "core/update/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/Environment.h"
#include "platform/SocketActivation.h"

namespace velmora::helper {

namespace log = core::HelperLog;

namespace {

// The last path component of the address a listening AF_UNIX socket is bound to.
std::optional<std::string> boundName(int socket) {
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sun_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path) ||
        address.sun_path[0] == '\0')
        return std::nullopt;
    std::string path(address.sun_path, ::strnlen(address.sun_path, sizeof address.sun_path));
    return std::filesystem::path(path).filename().string();
}

// The inherited socket meant for `serviceName`: named for it, or bound to a path that ends in it. One
// socket unit gives all its sockets one name, so the bound path is what tells them apart.
std::optional<platform::UniqueFd> takeActivatedSocket(std::vector<kit::xpc::ActivatedSocket>& sockets,
                                                      const std::string& serviceName) {
    for (auto& candidate : sockets) {
        if (!candidate.socket.valid()) continue;
        if (candidate.name == serviceName || boundName(candidate.socket.get()) == serviceName)
            return std::move(candidate.socket);
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<HelperService> HelperService::create() {
    auto service = std::shared_ptr<HelperService>(new HelperService());
    // Filled in only now that the service is complete; the callback does not keep the service alive.
    service->openShellCounter_->setSource([weak = std::weak_ptr<HelperService>(service)]() -> std::int64_t {
        auto self = weak.lock();
        if (!self) return 0;
        std::int64_t count = 0;
        self->queue_->sync([&] { count = self->totalOpenShellCount(); });
        return count;
    });
    return service;
}

HelperService::HelperService()
    : queue_(platform::DispatchQueue::createSerial(std::string(kit::VelmoraHelperIdentity::bundleIdentifier) +
                                                   ".service")),
      openShellCounter_(HelperOpenShellCounter::create()) {
    // The counter's source is filled in by create(); until then it counts no shell.
    updater_ = core::HelperUpdater::create(
        kit::VelmoraHelperIdentity::installDirectoryURL(platform::currentHomeDirectory()),
        core::HelperUpdaterIO::liveDependencies([counter = openShellCounter_] { return counter->count(); }));
}

tl::expected<void, std::string> HelperService::start() {
    log::service.info("Starting " + core::HelperBundle::versionDescription() +
                      " pid=" + std::to_string(::getpid()));
    // The sockets first: a helper that finds another serving them must not remove that one's update
    // files. No connection is taken before the leftovers are gone.
    if (auto taken = takeListeners(); !taken) return taken;
    auto leftovers = core::HelperUpdater::removeLeftovers(
        kit::VelmoraHelperIdentity::installDirectoryURL(platform::currentHomeDirectory()));
    if (!leftovers.empty())
        log::installer.info("Removed " + std::to_string(leftovers.size()) + " leftover update item(s)");
    for (auto& listener : listeners_) listener->resume();
    queue_->async([self = shared_from_this()] { self->scheduleIdleExitIfNeeded(); });
    return {};
}

tl::expected<void, std::string> HelperService::takeListeners() {
    auto activated = kit::xpc::Listener::socketsFromServiceManager();
    if (!activated)
        return tl::unexpected("Cannot take the sockets passed by the service manager: " +
                              activated.error().description());
    // Bundles verified by an earlier activation, kept by the service manager; before any listener runs.
    codesign::VerificationStore::attach(
        clientCheck_.cache(),
        codesign::VerificationStore::buildIdentity(core::HelperBundle::versionDescription()),
        platform::takeStoredDescriptor(codesign::VerificationStore::kDescriptorName),
        [](bool error, const std::string& message) {
            error ? log::service.error(message) : log::service.info(message);
        });
    auto runtimeDirectory = platform::environmentValue("XDG_RUNTIME_DIR");
    for (const auto& name : kit::VelmoraHelperIdentity::machServiceNames()) {
        std::shared_ptr<kit::xpc::Listener> listener;
        if (auto inherited = takeActivatedSocket(*activated, name)) {
            auto adopted = kit::xpc::Listener::adopt(std::move(*inherited), name);
            if (!adopted)
                return tl::unexpected("Cannot listen for " + name + ": " + adopted.error().description());
            listener = std::move(*adopted);
        } else {
            if (!runtimeDirectory || runtimeDirectory->empty() || (*runtimeDirectory)[0] != '/')
                return tl::unexpected(
                    std::string("Cannot serve: XDG_RUNTIME_DIR is not set to the user's runtime directory, "
                                "so there is no "
                                "place for the helper's sockets."));
            auto bound = kit::xpc::Listener::bindService(*runtimeDirectory, name);
            if (!bound) {
                if (bound.error().kind == kit::xpc::ListenerError::Kind::alreadyServing)
                    return tl::unexpected("Another Velmora Helper is already serving at " +
                                          bound.error().path + ".");
                return tl::unexpected("Cannot listen for " + name + ": " + bound.error().description());
            }
            listener = std::move(*bound);
        }
        listener->setDelegate(weak_from_this());
        listeners_.push_back(std::move(listener));
    }
    return {};
}

bool HelperService::shouldAcceptNewConnection(kit::xpc::Listener&,
                                              const std::shared_ptr<kit::xpc::Connection>& connection) {
    // The transport requires the helper's own user id of a peer, and then this check, before it
    // delivers any of its calls.
    connection->setAsynchronousPeerRequirement(clientCheck_.requirement());
    connection->setExportedInterface(kit::VelmoraHelperXPCInterface::helperInterface());
    connection->setRemoteObjectInterface(kit::VelmoraHelperXPCInterface::clientInterface());
    auto session = HelperConnectionSession::create(connection, queue_, updater_, openShellCounter_);
    connection->setExportedObject<kit::VelmoraHelperXPCProtocol>(session);
    const void* key = connection.get();
    auto ended = [weak = weak_from_this(), key] {
        if (auto self = weak.lock()) self->connectionDidEnd(key);
    };
    connection->setInvalidationHandler(ended);
    connection->setInterruptionHandler(ended);
    queue_->sync([&] {
        sessions_[key] = session;
        if (idleTimer_) {
            idleTimer_->cancel();
            idleTimer_.reset();
        }
    });
    log::service.info("Accepted connection from pid=" + std::to_string(connection->processIdentifier()));
    connection->resume();
    return true;
}

void HelperService::connectionDidEnd(const void* key) {
    queue_->async([self = shared_from_this(), key] {
        auto found = self->sessions_.find(key);
        // The other end handler of the same connection already ran.
        if (found == self->sessions_.end()) return;
        auto session = std::move(found->second);
        self->sessions_.erase(found);
        log::service.info("Connection from pid=" + std::to_string(session->clientProcessIdentifier()) +
                          " ended");
        session->closeAllShells();
        self->scheduleIdleExitIfNeeded();
    });
}

void HelperService::scheduleIdleExitIfNeeded() {
    if (!sessions_.empty() || idleTimer_) return;
    idleTimer_ = platform::OneShotTimer::schedule(queue_, idleExitDelay, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !self->sessions_.empty()) return;
        log::service.info("Idle; exiting");
        std::fflush(nullptr);
        // Worker threads are still running: leave without running static destructors under them.
        std::_Exit(0);
    });
}

std::int64_t HelperService::totalOpenShellCount() const {
    std::int64_t total = 0;
    for (const auto& [key, session] : sessions_) total += static_cast<std::int64_t>(session->shellCount());
    return total;
}

}  // namespace velmora::helper
