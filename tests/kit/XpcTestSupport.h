#pragma once

// Shared pieces of the transport tests: a server process, a recording client, raw socket access.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "kit/xpc/VelmoraHelperXPC.h"
#include "platform/UniqueFd.h"

namespace velmora::testing {

constexpr std::chrono::seconds kWait{10};

// The echo server (kit_xpc_test_server) running in its own process until stopped.
class ServerProcess {
  public:
    // Starts the server on <directory>/<name>, waiting until it listens; stderr to `standardError` if given.
    ServerProcess(const std::filesystem::path& directory, const std::string& name,
                  std::vector<std::string> extraArguments = {}, int inheritedListener = -1,
                  const std::filesystem::path& standardError = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] std::string socketPath() const { return (directory_ / name_).string(); }
    // Waits for the process to end and returns its wait status.
    int wait();

  private:
    std::filesystem::path directory_;
    std::string name_;
    pid_t pid_ = -1;
    bool ready_ = false;
    bool reaped_ = false;
    platform::UniqueFd input_;
};

// Records every notification it receives, in order, as text.
class RecordingClient final : public kit::VelmoraHelperClientXPCProtocol {
  public:
    void shellDidExit(std::int32_t pid, std::int32_t status, std::int32_t signal) override {
        record("exit " + std::to_string(pid) + " " + std::to_string(status) + " " + std::to_string(signal));
    }
    void didStartDownloading(std::int64_t total) override { record("start " + std::to_string(total)); }
    void didDownload(std::int64_t bytes) override { record("download " + std::to_string(bytes)); }
    void didVerify() override { record("verify"); }
    void didStage() override { record("stage"); }
    void willRestart() override { record("restart"); }
    void didFail(kit::Blob error) override { record("fail " + error.value_or("<null>")); }

    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // Waits until at least `count` events have arrived.
    std::vector<std::string> waitFor(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kWait, [&] { return events_.size() >= count; });
        return events_;
    }

  private:
    void record(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

// A count of end-of-connection handler runs, awaitable.
class EndCounter {
  public:
    void hit(const char* which) {
        std::lock_guard lock(mutex_);
        ++count_;
        last_ = which;
        changed_.notify_all();
    }
    int waitForAtLeast(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kWait, [&] { return count_ >= count; });
        return count_;
    }
    int count() { return waitForAtLeast(0); }
    std::string last() {
        std::lock_guard lock(mutex_);
        return last_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
    std::string last_;
};

// The outcome of one call: its reply values or its error, and how many times it completed.
template <class... V>
class CallOutcome {
  public:
    kit::Reply<V...> reply() {
        return kit::Reply<V...>([this](V... values) {
            std::lock_guard lock(mutex_);
            values_.emplace(std::move(values)...);
            ++completions_;
            changed_.notify_all();
        });
    }
    kit::xpc::ErrorHandler errorHandler() {
        return [this](const kit::xpc::ConnectionError& error) {
            std::lock_guard lock(mutex_);
            error_ = error;
            ++completions_;
            changed_.notify_all();
        };
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return completions_ > 0; });
    }
    int completions() {
        std::lock_guard lock(mutex_);
        return completions_;
    }
    std::optional<std::tuple<V...>>& values() { return values_; }
    std::optional<kit::xpc::ConnectionError>& error() { return error_; }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int completions_ = 0;
    std::optional<std::tuple<V...>> values_;
    std::optional<kit::xpc::ConnectionError> error_;
};

// A client connection with a recording exported object.
struct ClientEnd {
    std::shared_ptr<kit::xpc::Connection> connection;
    std::shared_ptr<RecordingClient> recorder = std::make_shared<RecordingClient>();
    std::shared_ptr<EndCounter> ends = std::make_shared<EndCounter>();

    static std::optional<ClientEnd> connect(const std::string& path);

    // A proxy whose failures go to `outcome`.
    template <class... V>
    std::shared_ptr<kit::VelmoraHelperXPCProtocol> proxy(CallOutcome<V...>& outcome) {
        return connection->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperXPCProtocol>(
            outcome.errorHandler());
    }
};

// Raw socket access, for speaking to the server without the library.
// rawConnect returns once the server has admitted the connection ("rpc.accepted"), an invalid
// descriptor when it ends it instead; rawConnectUnadmitted returns at once, having read nothing.
platform::UniqueFd rawConnect(const std::string& path);
platform::UniqueFd rawConnectUnadmitted(const std::string& path);
// Sends one packet with descriptors; returns errno or 0.
int rawSend(int socket, const std::string& bytes, const std::vector<int>& fds = {}, int flags = 0);
// The next packet parsed as JSON; nullopt on timeout; a discarded value on end of file.
std::optional<nlohmann::json> rawReceive(int socket, std::chrono::milliseconds timeout = kWait);
// True when the peer ends the connection within the timeout (reading and dropping what comes first).
bool rawWaitForEnd(int socket, std::chrono::milliseconds timeout = kWait);
// True when `fd` (a pipe's read end) reports end of file within the timeout.
bool pipeReachesEnd(int fd, std::chrono::milliseconds timeout = kWait);

}  // namespace velmora::testing
