#include "tools/velmora-shell/HelperLink.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "codesign/StaticCode.h"
#include "kit/VelmoraHelperIdentity.h"
#include "platform/Environment.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::shell {

namespace {

namespace fs = std::filesystem;
namespace identity = kit::VelmoraHelperIdentity;
using kit::xpc::Connection;
using platform::UniqueFd;

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kRetryInterval = std::chrono::milliseconds(20);
constexpr const char* kSystemctl = "/usr/bin/systemctl";

std::string agentSocketUnit() {
    return std::string(identity::launchdLabel) + ".socket";
}

class ClientListener final : public kit::VelmoraHelperClientXPCProtocol {
  public:
    explicit ClientListener(ClientHandlers handlers) : handlers_(std::move(handlers)) {}
    void shellDidExit(std::int32_t pid, std::int32_t status, std::int32_t signal) override {
        if (handlers_.shellDidExit) handlers_.shellDidExit(pid, status, signal);
    }
    void didStartDownloading(std::int64_t total) override {
        report(kit::HelperUpdateEvent::startedDownloading(total));
    }
    void didDownload(std::int64_t bytes) override { report(kit::HelperUpdateEvent::downloaded(bytes)); }
    void didVerify() override { report(kit::HelperUpdateEvent::verified()); }
    void didStage() override { report(kit::HelperUpdateEvent::staged()); }
    void willRestart() override { report(kit::HelperUpdateEvent::willRestart()); }
    void didFail(kit::Blob error) override {
        auto decoded = kit::HelperUpdateError::decode(error.value_or(""));
        // An error this client cannot read still ends the update; the reply carries it again.
        report(kit::HelperUpdateEvent::failed(
            decoded ? *decoded : kit::HelperUpdateError::downloadFailed("unreadable error from the helper")));
    }

  private:
    void report(const kit::HelperUpdateEvent& event) {
        if (handlers_.updateEvent) handlers_.updateEvent(event);
    }
    ClientHandlers handlers_;
};

bool nothingListens(const platform::SystemError& error) {
    return error.code == ENOENT || error.code == ECONNREFUSED;
}

bool isExecutableFile(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Passes when only this user or root can change `item`; otherwise why someone else could: it belongs
// to another user, or others may write it (a folder with the sticky bit keeps others from replacing
// what is in it).
tl::expected<void, std::string> unchangeableByOthers(const fs::path& item) {
    struct stat status {};
    if (::lstat(item.c_str(), &status) != 0)
        return tl::unexpected(item.string() +
                              " cannot be examined: " + platform::SystemError{"lstat", errno}.reason());
    if (status.st_uid != ::geteuid() && status.st_uid != 0)
        return tl::unexpected(item.string() + " belongs to uid " + std::to_string(status.st_uid));
    bool sticky = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0;
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky && !S_ISLNK(status.st_mode))
        return tl::unexpected(item.string() + " can be written by others");
    return {};
}

// A helper this client may start: every item of the bundle and every folder above it only this user's
// or root's to change, and the bundle signed as the helper. Gives the bundle's executable, links
// resolved, so that what runs is what was checked.
tl::expected<fs::path, std::string> trustedHelper(const fs::path& executable) {
    std::error_code error;
    auto bundle = fs::canonical(executable.parent_path().parent_path().parent_path(), error);
    if (error) return tl::unexpected(executable.string() + ": " + error.message());
    for (auto folder = bundle; folder != folder.parent_path(); folder = folder.parent_path())
        if (auto safe = unchangeableByOthers(folder.parent_path()); !safe)
            return tl::unexpected(safe.error());
    for (fs::recursive_directory_iterator items(bundle, error), end; !error && items != end;
         items.increment(error))
        if (auto safe = unchangeableByOthers(items->path()); !safe) return tl::unexpected(safe.error());
    if (error) return tl::unexpected(bundle.string() + ": " + error.message());
    if (auto safe = unchangeableByOthers(bundle); !safe) return tl::unexpected(safe.error());
    if (auto checked = codesign::checkValidity(bundle, identity::helperCodeSigningRequirement); !checked)
        return tl::unexpected(bundle.string() + ": " + checked.error());
    return identity::executableURL(bundle);
}

// Waits, for a bounded time, to be the one client that starts the helper; fails saying why.
tl::expected<UniqueFd, Outcome> takeStartLock(const std::string& path) {
    // Never through a link: the lock is this user's file in this user's runtime directory.
    UniqueFd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.valid())
        return tl::unexpected(failure(
            "cannot open the start lock " + path + ": " + platform::SystemError{"open", errno}.reason(),
            exitStatus::unavailable));
    // Whoever holds it gives up within kStartTimeout; a little longer means it never will.
    auto deadline = std::chrono::steady_clock::now() + kStartTimeout + std::chrono::seconds(2);
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return tl::unexpected(
                failure("cannot lock " + path + ": " + platform::SystemError{"flock", errno}.reason(),
                        exitStatus::unavailable));
        if (std::chrono::steady_clock::now() >= deadline)
            return tl::unexpected(failure("another process has held the start lock " + path +
                                              " for 12 s without starting the helper; giving up",
                                          exitStatus::unavailable));
        std::this_thread::sleep_for(kRetryInterval);
    }
    return lock;
}

// The installed copy first, then a helper bundle beside this client's own bundle (the build tree).
std::vector<fs::path> helperCandidates() {
    std::vector<fs::path> candidates{
        identity::executableURL(identity::installedBundleURL(platform::currentHomeDirectory()))};
    // .../X.app/Contents/MacOS/velmora-shell: the folder holding X.app.
    auto self = platform::currentExecutablePath();
    auto bundles = self.parent_path().parent_path().parent_path().parent_path();
    candidates.push_back(identity::executableURL(bundles / identity::bundleFileName));
    return candidates;
}

// Runs `arguments` detached from this terminal: its own session, standard streams on /dev/null, in "/",
// SIGPIPE back at its default. Returns its pid.
tl::expected<pid_t, platform::SystemError> spawnDetached(std::vector<std::string> arguments) {
    platform::ProcessPlan plan;
    plan.arguments = std::move(arguments);
    plan.standardInput = plan.standardOutput = plan.standardError = platform::StandardStream::nullDevice();
    plan.workingDirectory = "/";
    plan.newSession = true;
    plan.defaultSignals = true;
    auto spawned = platform::spawnProcess(plan);
    if (!spawned) return tl::unexpected(spawned.error());
    return spawned->pid;
}

// A user manager that has the agent's socket unit: it, not this client, starts the helper.
bool managerOwnsSocket() {
    auto runtime = platform::environmentValue("XDG_RUNTIME_DIR");
    struct stat status {};
    auto unit = platform::currentHomeDirectory() / ".config/systemd/user" / agentSocketUnit();
    return runtime && ::stat((*runtime + "/systemd/private").c_str(), &status) == 0 &&
           S_ISSOCK(status.st_mode) && fs::exists(unit);
}

// Retries the connect until the helper listens, the started process ends, or the time runs out.
tl::expected<std::shared_ptr<Connection>, Outcome> waitForHelper(const std::string& socketPath,
                                                                 std::optional<pid_t> started,
                                                                 const std::string& what) {
    auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (true) {
        auto connection = Connection::connectToService(socketPath);
        if (connection) return *connection;
        std::optional<platform::ExitStatus> ended;
        if (started) ended = platform::exitIfEnded(*started).value_or(std::nullopt);
        if (ended) {
            auto status = *ended;
            auto how = status.kind == platform::ExitStatus::Kind::exited
                           ? "exit status " + std::to_string(status.number)
                           : status.description();
            return tl::unexpected(failure(what + " ended (" + how + ") before listening at " + socketPath,
                                          exitStatus::unavailable));
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return tl::unexpected(failure(
                what + " did not listen at " + socketPath + " within 10 s: " + connection.error().reason(),
                exitStatus::unavailable));
        std::this_thread::sleep_for(kRetryInterval);
    }
}

// Starts a helper for the default socket and connects to it. One client at a time starts it: the others
// wait on the lock and then find it listening, as tmux clients do for their server. (The helper holds
// "<socket>.lock" itself while it serves.)
tl::expected<std::shared_ptr<Connection>, Outcome> startAndConnect(const std::string& socketPath) {
    auto lock = takeStartLock(socketPath + ".starting");
    if (!lock) return tl::unexpected(lock.error());
    if (auto connection = Connection::connectToService(socketPath)) return *connection;

    if (managerOwnsSocket()) {
        bool started = false;
        if (auto pid = spawnDetached({kSystemctl, "--user", "start", agentSocketUnit()})) {
            auto status = platform::waitForExit(*pid);
            started = status && status->exitedWith(0);
        }
        if (!started)
            return tl::unexpected(
                failure("the user manager could not start " + agentSocketUnit(), exitStatus::unavailable));
        return waitForHelper(socketPath, std::nullopt, "the user manager's " + agentSocketUnit());
    }
    auto candidates = helperCandidates();
    for (const auto& executable : candidates) {
        if (!isExecutableFile(executable)) continue;
        // It runs as whoever runs this client: only a helper nobody else could have put there.
        auto trusted = trustedHelper(executable);
        if (!trusted)
            return tl::unexpected(
                failure("refusing to start the helper " + executable.string() + ": " + trusted.error(),
                        exitStatus::unavailable));
        auto pid = spawnDetached({trusted->string(), "--serve"});
        if (!pid)
            return tl::unexpected(failure("cannot start " + trusted->string() + ": " + pid.error().reason(),
                                          exitStatus::unavailable));
        return waitForHelper(socketPath, *pid, "the helper " + trusted->string());
    }
    return tl::unexpected(failure("no helper listens at " + socketPath + ", and none is installed (" +
                                      candidates[0].string() + ") or beside this client (" +
                                      candidates[1].string() + ")",
                                  exitStatus::unavailable));
}

}  // namespace

// Flatpak writes /.flatpak-info into every sandbox; Flatpak, systemd-nspawn and podman set `container`,
// as a plain bubblewrap sandbox can (--setenv container NAME).
bool inSandbox() {
    return ::access("/.flatpak-info", F_OK) == 0 ||
           !platform::environmentValue("container").value_or("").empty();
}

tl::expected<HelperAddress, Outcome> helperAddress(const std::optional<std::string>& explicitSocket) {
    if (explicitSocket) return HelperAddress{*explicitSocket, false};
    auto runtime = platform::environmentValue("XDG_RUNTIME_DIR");
    if (!runtime || runtime->empty())
        return tl::unexpected(
            failure("XDG_RUNTIME_DIR is not set; pass --socket PATH", exitStatus::unavailable));
    // Anyone else who may enter or change it could put their own socket in the helper's place.
    if (auto checked = platform::checkPrivateDirectory(*runtime); !checked)
        return tl::unexpected(
            failure("refusing to use XDG_RUNTIME_DIR: " + checked.error(), exitStatus::unavailable));
    const bool sandboxed = inSandbox();
    return HelperAddress{*runtime + "/" + identity::machServiceNames().front(), !sandboxed, sandboxed};
}

tl::expected<std::shared_ptr<Connection>, Outcome> connectToHelper(const HelperAddress& address,
                                                                   ClientHandlers handlers) {
    auto connected = Connection::connectToService(address.socketPath);
    tl::expected<std::shared_ptr<Connection>, Outcome> connection;
    if (connected) {
        connection = *connected;
    } else if (address.mayStart && nothingListens(connected.error())) {
        connection = startAndConnect(address.socketPath);
    } else if (address.sandboxed && nothingListens(connected.error())) {
        connection = tl::unexpected(failure("no helper listens at " + address.socketPath +
                                                ", and inside a sandbox this client starts none (its shells "
                                                "would run in the sandbox): give the sandbox the host's "
                                                "helper socket",
                                            exitStatus::unavailable));
    } else {
        connection = tl::unexpected(failure(
            "cannot connect to the helper at " + address.socketPath + ": " + connected.error().reason(),
            exitStatus::unavailable));
    }
    if (!connection) return connection;
    auto& c = *connection;
    auto ended = handlers.ended;
    c->setExportedInterface(kit::VelmoraHelperXPCInterface::clientInterface());
    c->setExportedObject<kit::VelmoraHelperClientXPCProtocol>(
        std::make_shared<ClientListener>(std::move(handlers)));
    c->setRemoteObjectInterface(kit::VelmoraHelperXPCInterface::helperInterface());
    if (ended) {
        c->setInterruptionHandler(ended);
        c->setInvalidationHandler(ended);
    }
    c->resume();
    return connection;
}

std::string describe(const kit::xpc::ConnectionError& error) {
    using Kind = kit::xpc::ConnectionError::Kind;
    switch (error.kind) {
        case Kind::invalidated:
            return "the connection to the helper ended";
        case Kind::sendFailed:
            return "sending to the helper failed: " + error.description;
        case Kind::remoteError:
            return "the helper refused the call (" + std::to_string(error.code) + "): " + error.description;
        case Kind::invalidReply:
            return "the helper's reply was malformed: " + error.description;
    }
    return "the call failed";
}

}  // namespace velmora::shell
