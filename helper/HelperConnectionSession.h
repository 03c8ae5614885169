#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/PTYShellProcess.h"
#include "core/update/HelperUpdater.h"
#include "helper/HelperOpenShellCounter.h"
#include "kit/xpc/VelmoraHelperXPC.h"
#include "platform/Dispatch.h"

namespace velmora::helper {

// The object exported on one accepted connection. It answers the client's calls and owns exactly the
// shells that client opened: one client can neither see nor touch another's shells.
//
// Calls arrive on transport threads, exit handlers on the service queue. Info and opening a shell run
// on blocking queues of their own (lookups, client paths, fork), so a stalled one holds up neither the
// transport nor the service queue; opens wait in the process's HelperOpenQueue, taking turns with
// other clients' opens. `shellsLock_` guards the table (and whether it is closed for good) and nothing
// else, and is never held while calling into a shell, the transport or a reply.
//
// An open that succeeds always replies with the terminal. Besides the shell process's own failure
// texts ("<call> failed: <reason>"), an open fails with:
// - "Invalid launch request: …" for a document that is not a request, or one holding a NUL in a text
//   that reaches the shell (its paths, environment, version); the text is always valid UTF-8;
// - "Too many open shells: the helper is at its limit of N open files." when the shell's descriptors
//   would eat into the reserve kept for accepting and answering clients;
// - "The client has gone." for an open still waiting or under way when the connection ended: it
//   leaves no shell behind.
class HelperConnectionSession final : public kit::VelmoraHelperXPCProtocol,
                                      public std::enable_shared_from_this<HelperConnectionSession> {
  public:
    static std::shared_ptr<HelperConnectionSession> create(
        const std::shared_ptr<kit::xpc::Connection>& connection,
        std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<core::HelperUpdater> updater,
        std::shared_ptr<HelperOpenShellCounter> helperShellCount);

    // The update's events go to the client that started it, in the order the updater emits them;
    // the reply comes once the update has ended. Any client may cancel. Uninstalling is refused
    // while any client has a shell open; otherwise the reply goes out at once and the detached
    // uninstaller starts 250 ms later from the service queue.
    void fetchHelperInfo(kit::Reply<kit::Blob> reply) override;
    void openShell(kit::Blob request, kit::Reply<platform::UniqueFd, kit::Blob> reply) override;
    void resizeShell(std::int32_t processIdentifier, std::int64_t columns, std::int64_t rows,
                     kit::Reply<bool> reply) override;
    void signalShell(std::int32_t processIdentifier, std::int32_t signal, kit::Reply<bool> reply) override;
    void closeShell(std::int32_t processIdentifier, kit::Reply<> reply) override;
    void beginSelfUpdate(kit::Blob manifestJSON, kit::Reply<kit::Blob> reply) override;
    void cancelSelfUpdate(kit::Reply<> reply) override;
    void beginUninstall(kit::Reply<kit::Blob> reply) override;

    // Hangs up every shell of this client and answers its waiting opens without a shell; called once
    // the connection has ended. Notifies nobody.
    void closeAllShells();

    [[nodiscard]] std::int32_t clientProcessIdentifier() const { return clientProcessIdentifier_; }
    [[nodiscard]] std::size_t shellCount() const;

  private:
    HelperConnectionSession(const std::shared_ptr<kit::xpc::Connection>& connection,
                            std::shared_ptr<platform::DispatchQueue> queue,
                            std::shared_ptr<core::HelperUpdater> updater,
                            std::shared_ptr<HelperOpenShellCounter> helperShellCount);

    [[nodiscard]] std::shared_ptr<kit::VelmoraHelperClientXPCProtocol> updateClientProxy() const;
    static void deliver(const kit::HelperUpdateEvent& event,
                        const std::shared_ptr<kit::VelmoraHelperClientXPCProtocol>& proxy);

    enum class Log { no, yes };
    static void answerInfo(kit::Reply<kit::Blob> reply);
    void openShellNow(const kit::Blob& request, kit::Reply<platform::UniqueFd, kit::Blob> reply);
    static void replyFailed(kit::Reply<platform::UniqueFd, kit::Blob> reply, const std::string& message,
                            Log logging);
    [[nodiscard]] bool ended() const;
    [[nodiscard]] std::shared_ptr<core::PTYShellProcess> shell(std::int32_t processIdentifier) const;
    [[nodiscard]] std::shared_ptr<core::PTYShellProcess> takeShell(std::int32_t processIdentifier);
    void shellDidExit(std::int32_t processIdentifier, const std::weak_ptr<core::PTYShellProcess>& exited,
                      core::PTYShellProcess::ExitResult result);
    void notifyClientOfExit(std::int32_t processIdentifier, core::PTYShellProcess::ExitResult result);

    const std::int32_t clientProcessIdentifier_;
    const std::weak_ptr<kit::xpc::Connection> connection_;
    const std::shared_ptr<platform::DispatchQueue> queue_;
    mutable std::mutex shellsLock_;
    std::unordered_map<std::int32_t, std::shared_ptr<core::PTYShellProcess>> shells_;
    bool ended_ = false;  // set once by closeAllShells(): no shell is stored afterwards
    const std::shared_ptr<core::HelperUpdater> updater_;
    const std::shared_ptr<HelperOpenShellCounter> helperShellCount_;
};

}  // namespace velmora::helper
