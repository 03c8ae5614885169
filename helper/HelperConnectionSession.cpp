#include "helper/HelperConnectionSession.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "core/HelperBundle.h"
#include "core/HelperLog.h"
#include "core/HelperUserAccount.h"
#include "helper/DescriptorReserve.h"
#include "helper/HelperInstaller.h"
#include "helper/HelperOpenQueue.h"
#include "helper/SessionQueues.h"
#include "kit/HelperInfo.h"
#include "kit/ShellMessages.h"
#include "kit/VelmoraHelperIdentity.h"

namespace velmora::helper {

namespace log = core::HelperLog;

namespace {

kit::Blob toBlob(const tl::expected<std::string, kit::EncodingError>& encoded) {
    return encoded ? kit::Blob(*encoded) : kit::Blob();
}

// The answer to an open whose client has gone; nobody reads it.
const std::string kClientGone = "The client has gone.";

// Long enough for the uninstall request's reply to reach the client before the helper is stopped.
constexpr std::chrono::milliseconds kUninstallHandoffDelay{250};

// The client proxy that one update's events go to, or none; fixed for the update's whole run.
struct UpdateClientBox {
    std::shared_ptr<kit::VelmoraHelperClientXPCProtocol> proxy;
};

// Text handed to the child is NUL-terminated there: a NUL inside would silently cut it short.
tl::expected<void, std::string> checkNoNul(const kit::ShellLaunchRequest& request) {
    auto holdsNul = [](const std::string& text) { return text.find('\0') != std::string::npos; };
    if (request.shellPath && holdsNul(*request.shellPath))
        return tl::unexpected<std::string>("The shellPath value holds a NUL character.");
    if (request.workingDirectory && holdsNul(*request.workingDirectory))
        return tl::unexpected<std::string>("The workingDirectory value holds a NUL character.");
    for (const auto& [name, value] : request.environment)
        if (holdsNul(name) || holdsNul(value))
            return tl::unexpected<std::string>("An environment variable holds a NUL character.");
    if (request.terminalProgramVersion && holdsNul(*request.terminalProgramVersion))
        return tl::unexpected<std::string>("The terminalProgramVersion value holds a NUL character.");
    return {};
}

}  // namespace

std::shared_ptr<HelperConnectionSession> HelperConnectionSession::create(
    const std::shared_ptr<kit::xpc::Connection>& connection, std::shared_ptr<platform::DispatchQueue> queue,
    std::shared_ptr<core::HelperUpdater> updater, std::shared_ptr<HelperOpenShellCounter> helperShellCount) {
    return std::shared_ptr<HelperConnectionSession>(new HelperConnectionSession(
        connection, std::move(queue), std::move(updater), std::move(helperShellCount)));
}

HelperConnectionSession::HelperConnectionSession(const std::shared_ptr<kit::xpc::Connection>& connection,
                                                 std::shared_ptr<platform::DispatchQueue> queue,
                                                 std::shared_ptr<core::HelperUpdater> updater,
                                                 std::shared_ptr<HelperOpenShellCounter> helperShellCount)
    : clientProcessIdentifier_(connection->processIdentifier()),
      connection_(connection),
      queue_(std::move(queue)),
      updater_(std::move(updater)),
      helperShellCount_(std::move(helperShellCount)) {}

// ---- info

void HelperConnectionSession::fetchHelperInfo(kit::Reply<kit::Blob> reply) {
    // std::function needs a copyable task; the reply travels in a shared holder.
    auto held = std::make_shared<kit::Reply<kit::Blob>>(std::move(reply));
    infoQueue()->async([held] { answerInfo(std::move(*held)); });
}

void HelperConnectionSession::answerInfo(kit::Reply<kit::Blob> reply) {
    auto account = core::HelperUserAccount::current();
    auto bundle = core::HelperBundle::bundleURL();
    kit::HelperInfo info{core::HelperBundle::versionOfBundle(bundle),
                         core::HelperBundle::buildOfBundle(bundle),
                         kit::VelmoraHelperIdentity::protocolVersion,
                         bundle.string(),
                         static_cast<std::int32_t>(::getpid()),
                         account.loginShell,
                         account.userName};
    reply(toBlob(info.encoded()));
}

// ---- shells

void HelperConnectionSession::openShell(kit::Blob request, kit::Reply<platform::UniqueFd, kit::Blob> reply) {
    auto held = std::make_shared<kit::Reply<platform::UniqueFd, kit::Blob>>(std::move(reply));
    HelperOpenQueue::shared().enqueue(
        this, [self = shared_from_this(), request = std::move(request), held](HelperOpenQueue::Call call) {
            if (call == HelperOpenQueue::Call::ownerDropped)
                return replyFailed(std::move(*held), kClientGone, Log::no);
            self->openShellNow(request, std::move(*held));
        });
}

void HelperConnectionSession::replyFailed(kit::Reply<platform::UniqueFd, kit::Blob> reply,
                                          const std::string& message, Log logging) {
    if (logging == Log::yes) log::shell.error("Shell launch failed: " + message);
    reply(platform::UniqueFd(), toBlob(kit::ShellLaunchResponse::failed(message).encoded()));
}

void HelperConnectionSession::openShellNow(const kit::Blob& request,
                                           kit::Reply<platform::UniqueFd, kit::Blob> reply) {
    auto decoded = kit::ShellLaunchRequest::decode(request.value_or(std::string()));
    if (!decoded)
        return replyFailed(std::move(reply), "Invalid launch request: " + decoded.error().description,
                           Log::no);
    if (auto checked = checkNoNul(*decoded); !checked)
        return replyFailed(std::move(reply), "Invalid launch request: " + checked.error(), Log::no);
    if (ended()) return replyFailed(std::move(reply), kClientGone, Log::no);
    auto claim = DescriptorClaim::take();
    if (!claim) return replyFailed(std::move(reply), claim.error(), Log::yes);
    auto spawned = core::PTYShellProcess::spawn(*decoded);
    if (!spawned) return replyFailed(std::move(reply), spawned.error().description, Log::yes);
    auto process = std::move(*spawned);
    // An "opened" reply must carry the terminal: without the copy for the reply the shell is not kept.
    auto handle = process->duplicateMasterFileHandle();
    if (!handle) {
        process->abandon();
        return replyFailed(std::move(reply), "dup failed: " + handle.error().reason(), Log::yes);
    }
    std::int32_t processIdentifier = process->processIdentifier();
    std::shared_ptr<core::PTYShellProcess> replaced;
    bool kept = false;
    {
        std::lock_guard guard(shellsLock_);
        // Once the connection has ended, nobody would ever close a shell stored now.
        if ((kept = !ended_)) replaced = std::exchange(shells_[processIdentifier], process);
    }
    if (!kept) {
        process->abandon();
        return replyFailed(std::move(reply), kClientGone, Log::no);
    }
    // Let go of a replaced entry outside the lock: its release hangs it up.
    replaced.reset();
    // A shell that has already exited is handled right here, before the reply leaves.
    auto watched = process->monitorExit(
        queue_, [weakSelf = weak_from_this(), processIdentifier,
                 weakProcess = std::weak_ptr<core::PTYShellProcess>(process)](auto result) {
            if (auto self = weakSelf.lock()) self->shellDidExit(processIdentifier, weakProcess, result);
        });
    if (!watched) {
        // Its exit would never be reaped or reported: the shell is not kept.
        {
            std::lock_guard guard(shellsLock_);
            if (auto found = shells_.find(processIdentifier);
                found != shells_.end() && found->second == process)
                shells_.erase(found);
        }
        process->abandon();
        return replyFailed(std::move(reply), watched.error().description, Log::yes);
    }
    kit::ShellLaunchResponse response{processIdentifier, process->ttyPath(), process->shellPath(),
                                      process->workingDirectory(), std::nullopt};
    reply(std::move(*handle), toBlob(response.encoded()));
}

void HelperConnectionSession::resizeShell(std::int32_t processIdentifier, std::int64_t columns,
                                          std::int64_t rows, kit::Reply<bool> reply) {
    auto process = shell(processIdentifier);
    reply(process ? process->resize(columns, rows) : false);
}

void HelperConnectionSession::signalShell(std::int32_t processIdentifier, std::int32_t signal,
                                          kit::Reply<bool> reply) {
    auto process = shell(processIdentifier);
    reply(process ? process->signal(signal) : false);
}

void HelperConnectionSession::closeShell(std::int32_t processIdentifier, kit::Reply<> reply) {
    if (auto process = takeShell(processIdentifier)) process->close(core::PTYShellProcess::HangUp::yes);
    reply();
}

void HelperConnectionSession::closeAllShells() {
    std::unordered_map<std::int32_t, std::shared_ptr<core::PTYShellProcess>> closing;
    {
        std::lock_guard guard(shellsLock_);
        ended_ = true;
        closing.swap(shells_);
    }
    // Opens still waiting are answered without a shell; one under way sees ended_ and keeps none.
    HelperOpenQueue::shared().drop(this);
    for (auto& [processIdentifier, process] : closing) process->close(core::PTYShellProcess::HangUp::yes);
}

bool HelperConnectionSession::ended() const {
    std::lock_guard guard(shellsLock_);
    return ended_;
}

std::size_t HelperConnectionSession::shellCount() const {
    std::lock_guard guard(shellsLock_);
    return shells_.size();
}

std::shared_ptr<core::PTYShellProcess> HelperConnectionSession::shell(std::int32_t processIdentifier) const {
    std::lock_guard guard(shellsLock_);
    auto found = shells_.find(processIdentifier);
    return found == shells_.end() ? nullptr : found->second;
}

std::shared_ptr<core::PTYShellProcess> HelperConnectionSession::takeShell(std::int32_t processIdentifier) {
    std::lock_guard guard(shellsLock_);
    auto found = shells_.find(processIdentifier);
    if (found == shells_.end()) return nullptr;
    auto process = std::move(found->second);
    shells_.erase(found);
    return process;
}

void HelperConnectionSession::shellDidExit(std::int32_t processIdentifier,
                                           const std::weak_ptr<core::PTYShellProcess>& exited,
                                           core::PTYShellProcess::ExitResult result) {
    // The pid is free again once reaped: only the entry of the shell that exited may go, never a
    // newer shell that was given the same pid meanwhile.
    std::shared_ptr<core::PTYShellProcess> process;
    {
        std::lock_guard guard(shellsLock_);
        auto found = shells_.find(processIdentifier);
        if (found != shells_.end() && found->second == exited.lock()) {
            process = std::move(found->second);
            shells_.erase(found);
        }
    }
    if (process) process->close(core::PTYShellProcess::HangUp::no);
    notifyClientOfExit(processIdentifier, result);
}

void HelperConnectionSession::notifyClientOfExit(std::int32_t processIdentifier,
                                                 core::PTYShellProcess::ExitResult result) {
    auto connection = connection_.lock();
    if (!connection) return;
    auto proxy = connection->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperClientXPCProtocol>(
        [](const kit::xpc::ConnectionError& error) {
            log::service.error("Exit notification failed: " + error.description);
        });
    if (!proxy) return;
    proxy->shellDidExit(processIdentifier, result.exitStatus, result.terminationSignal);
}

// ---- update and uninstall

std::shared_ptr<kit::VelmoraHelperClientXPCProtocol> HelperConnectionSession::updateClientProxy() const {
    auto connection = connection_.lock();
    if (!connection) return nullptr;
    return connection->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperClientXPCProtocol>(
        [](const kit::xpc::ConnectionError& error) {
            log::installer.error("Update progress could not be delivered: " + error.description);
        });
}

void HelperConnectionSession::deliver(const kit::HelperUpdateEvent& event,
                                      const std::shared_ptr<kit::VelmoraHelperClientXPCProtocol>& proxy) {
    if (!proxy) return;
    using Case = kit::HelperUpdateEvent::Case;
    switch (event.kind()) {
        case Case::startedDownloading:
            return proxy->didStartDownloading(event.byteCount());
        case Case::downloaded:
            return proxy->didDownload(event.byteCount());
        case Case::verified:
            return proxy->didVerify();
        case Case::staged:
            return proxy->didStage();
        case Case::willRestart:
            return proxy->willRestart();
        case Case::failed:
            if (!event.error()) return;
            if (auto encoded = event.error()->encoded()) proxy->didFail(kit::Blob(*encoded));
            return;
    }
}

void HelperConnectionSession::beginSelfUpdate(kit::Blob manifestJSON, kit::Reply<kit::Blob> reply) {
    // The box of this call: the proxy taken now serves every event of the update it starts.
    auto box = std::make_shared<const UpdateClientBox>(UpdateClientBox{updateClientProxy()});
    log::installer.info("Self-update requested by pid=" + std::to_string(clientProcessIdentifier_));
    auto held = std::make_shared<kit::Reply<kit::Blob>>(std::move(reply));
    // The updater works on its own queue and threads; this returns to the transport at once.
    updater_->begin(
        manifestJSON.value_or(std::string()),
        [box](const kit::HelperUpdateEvent& event) { deliver(event, box->proxy); },
        [held](tl::expected<void, kit::HelperUpdateError> outcome) {
            if (outcome) return (*held)(kit::Blob());
            log::installer.error("Self-update failed: " + outcome.error().summary());
            (*held)(toBlob(outcome.error().encoded()));
        });
}

void HelperConnectionSession::cancelSelfUpdate(kit::Reply<> reply) {
    auto held = std::make_shared<kit::Reply<>>(std::move(reply));
    updater_->cancel([held] { (*held)(); });
}

void HelperConnectionSession::beginUninstall(kit::Reply<kit::Blob> reply) {
    // Called on a transport thread: counting hops onto the service queue, which is never this thread.
    if (helperShellCount_->count() != 0) {
        log::installer.info("Refusing to uninstall while a shell is open");
        return reply(toBlob(kit::HelperUninstallError::busy().encoded()));
    }
    auto executable = kit::VelmoraHelperIdentity::executableURL(core::HelperBundle::bundleURL());
    std::error_code error;
    if (!std::filesystem::is_regular_file(executable, error) || ::access(executable.c_str(), X_OK) != 0) {
        log::installer.error("No uninstaller at " + executable.string());
        return reply(toBlob(kit::HelperUninstallError::spawnFailed(executable.string()).encoded()));
    }
    log::installer.info("Uninstall requested by pid=" + std::to_string(clientProcessIdentifier_));
    reply(kit::Blob());
    // The timer holds itself until it has fired, so the hand-off survives this session's end; it lets
    // go of itself once fired (freeing a timer from its own handler is allowed).
    auto timer = std::make_shared<std::unique_ptr<platform::OneShotTimer>>();
    *timer = platform::OneShotTimer::schedule(queue_, kUninstallHandoffDelay, [timer]() mutable {
        if (auto spawned = HelperInstaller::spawnDetachedUninstaller(); !spawned)
            log::installer.error("Could not start the uninstaller: " + spawned.error().summary());
        timer->reset();
    });
}

}  // namespace velmora::helper
