#include "helper/HelperConnectionSession.h"

#include <unistd.h>

#include <utility>
#include <vector>

#include "core/HelperBundle.h"
#include "core/HelperLog.h"
#include "core/HelperUserAccount.h"
#include "kit/HelperInfo.h"
#include "kit/ShellMessages.h"
#include "kit/VelmoraHelperIdentity.h"

namespace velmora::helper {

namespace log = core::HelperLog;

namespace {

kit::Blob toBlob(const tl::expected<std::string, kit::EncodingError>& encoded) {
    return encoded ? kit::Blob(*encoded) : kit::Blob();
}

}  // namespace

std::shared_ptr<HelperConnectionSession> HelperConnectionSession::create(
    const std::shared_ptr<kit::xpc::Connection>& connection, std::shared_ptr<platform::DispatchQueue> queue,
    std::shared_ptr<HelperOpenShellCounter> helperShellCount) {
    return std::shared_ptr<HelperConnectionSession>(
        new HelperConnectionSession(connection, std::move(queue), std::move(helperShellCount)));
}

HelperConnectionSession::HelperConnectionSession(const std::shared_ptr<kit::xpc::Connection>& connection,
                                                 std::shared_ptr<platform::DispatchQueue> queue,
                                                 std::shared_ptr<HelperOpenShellCounter> helperShellCount)
    : clientProcessIdentifier_(connection->processIdentifier()),
      connection_(connection),
      queue_(std::move(queue)),
      helperShellCount_(std::move(helperShellCount)) {}

// ---- info

void HelperConnectionSession::fetchHelperInfo(kit::Reply<kit::Blob> reply) {
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
    auto decoded = kit::ShellLaunchRequest::decode(request.value_or(std::string()));
    if (!decoded) {
        auto response =
            kit::ShellLaunchResponse::failed("Invalid launch request: " + decoded.error().description);
        reply(platform::UniqueFd(), toBlob(response.encoded()));
        return;
    }
    auto spawned = core::PTYShellProcess::spawn(*decoded);
    if (!spawned) {
        log::shell.error("Shell launch failed: " + spawned.error().description);
        reply(platform::UniqueFd(),
              toBlob(kit::ShellLaunchResponse::failed(spawned.error().description).encoded()));
        return;
    }
    auto process = std::move(*spawned);
    std::int32_t processIdentifier = process->processIdentifier();
    std::shared_ptr<core::PTYShellProcess> replaced;
    {
        std::lock_guard guard(shellsLock_);
        replaced = std::exchange(shells_[processIdentifier], process);
    }
    // Let go of a replaced entry outside the lock: its release hangs it up.
    replaced.reset();
    // A shell that has already exited is handled right here, before the reply leaves.
    process->monitorExit(queue_, [weakSelf = weak_from_this(), processIdentifier,
                                  weakProcess = std::weak_ptr<core::PTYShellProcess>(process)](auto result) {
        if (auto self = weakSelf.lock()) self->shellDidExit(processIdentifier, weakProcess, result);
    });
    kit::ShellLaunchResponse response{processIdentifier, process->ttyPath(), process->shellPath(),
                                      process->workingDirectory(), std::nullopt};
    // Null when the shell already exited and its terminal is closed: there is nothing left to use.
    auto handle = process->duplicateMasterFileHandle();
    reply(std::move(handle), toBlob(response.encoded()));
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
    if (auto process = takeShell(processIdentifier)) process->close(true);
    reply();
}

void HelperConnectionSession::closeAllShells() {
    std::unordered_map<std::int32_t, std::shared_ptr<core::PTYShellProcess>> closing;
    {
        std::lock_guard guard(shellsLock_);
        closing.swap(shells_);
    }
    for (auto& [processIdentifier, process] : closing) process->close(true);
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
    if (process) process->close(false);
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

void HelperConnectionSession::beginSelfUpdate(kit::Blob, kit::Reply<kit::Blob> reply) {
    kit::xpc::replyWithError(std::move(reply), kit::xpc::rpc::notAvailable,
                             "Self-update is not available in this build of Velmora Helper.");
}

void HelperConnectionSession::cancelSelfUpdate(kit::Reply<> reply) {
    kit::xpc::replyWithError(std::move(reply), kit::xpc::rpc::notAvailable,
                             "Self-update is not available in this build of Velmora Helper.");
}

void HelperConnectionSession::beginUninstall(kit::Reply<kit::Blob> reply) {
    kit::xpc::replyWithError(std::move(reply), kit::xpc::rpc::notAvailable,
                             "Uninstalling is not available in this build of Velmora Helper.");
}

}  // namespace velmora::helper
