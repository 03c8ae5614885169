// velmora-shell: uses the helper from a terminal. `info` prints the helper's facts; without a command it
// opens a shell through the helper and bridges the local terminal to it until the shell exits.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <future>
#include <initializer_list>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "kit/ShellMessages.h"
#include "kit/VelmoraHelperIdentity.h"
#include "kit/xpc/VelmoraHelperXPC.h"
#include "platform/Environment.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace {

using velmora::kit::Blob;
using velmora::kit::Reply;
using velmora::kit::VelmoraHelperXPCProtocol;
using velmora::kit::xpc::Connection;
using velmora::kit::xpc::ConnectionError;
using velmora::platform::UniqueFd;

constexpr int kUsageExit = 64;
constexpr char kConnectionEvent = 'c';
constexpr const char* kUsage =
    "usage: velmora-shell info [--socket PATH]\n"
    "       velmora-shell [--socket PATH] [--shell PATH] [--cwd DIR] [--no-login]\n";

struct Options {
    bool info = false;
    std::optional<std::string> socket;
    std::optional<std::string> shell;
    std::optional<std::string> workingDirectory;
    bool login = true;
};

// The outcome of the whole run: the exit status and, when it failed, why (printed after the terminal
// is back in its own mode).
struct Outcome {
    int status = 0;
    std::string message;
};

Outcome failure(std::string message) {
    return Outcome{1, std::move(message)};
}

std::optional<Options> parseArguments(int argc, char** argv) {
    Options options;
    int index = 1;
    if (index < argc && std::string_view(argv[index]) == "info") {
        options.info = true;
        ++index;
    }
    for (; index < argc; ++index) {
        std::string_view argument = argv[index];
        auto value = [&](std::optional<std::string>& into) {
            if (index + 1 >= argc) return false;
            into = argv[++index];
            return true;
        };
        if (argument == "--socket") {
            if (!value(options.socket)) return std::nullopt;
        } else if (argument == "--shell" && !options.info) {
            if (!value(options.shell)) return std::nullopt;
        } else if (argument == "--cwd" && !options.info) {
            if (!value(options.workingDirectory)) return std::nullopt;
        } else if (argument == "--no-login" && !options.info) {
            options.login = false;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

std::optional<std::string> defaultSocketPath() {
    auto runtime = velmora::platform::environmentValue("XDG_RUNTIME_DIR");
    if (!runtime || runtime->empty()) return std::nullopt;
    return *runtime + "/" + velmora::kit::VelmoraHelperIdentity::machServiceNames().front();
}

std::string describe(const ConnectionError& error) {
    using Kind = ConnectionError::Kind;
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

// Written to by signal handlers and transport threads; the main loop reads it. Never blocks a writer.
int gWakeWrite = -1;

void wake(char byte) {
    int saved = errno;
    [[maybe_unused]] ssize_t written = ::write(gWakeWrite, &byte, 1);
    errno = saved;
}

void onSignal(int number) {
    wake(static_cast<char>(number));
}

void routeToWakePipe(std::initializer_list<int> numbers) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : numbers) ::sigaction(number, &action, nullptr);
}

// What the transport has told us, kept for the main loop.
struct Events {
    std::mutex mutex;
    // Exits by process identifier: an exit may be reported before the launch reply arrives.
    std::map<std::int32_t, std::pair<std::int32_t, std::int32_t>> exits;
    bool connectionEnded = false;
};

class ExitListener final : public velmora::kit::VelmoraHelperClientXPCProtocol {
  public:
    explicit ExitListener(std::shared_ptr<Events> events) : events_(std::move(events)) {}
    void shellDidExit(std::int32_t pid, std::int32_t status, std::int32_t signal) override {
        {
            std::lock_guard lock(events_->mutex);
            events_->exits[pid] = {status, signal};
        }
        wake(kConnectionEvent);
    }
    void didStartDownloading(std::int64_t) override {}
    void didDownload(std::int64_t) override {}
    void didVerify() override {}
    void didStage() override {}
    void willRestart() override {}
    void didFail(Blob) override {}

  private:
    std::shared_ptr<Events> events_;
};

// Connects and resumes; every end of the connection is recorded in `events` and wakes the main loop.
tl::expected<std::shared_ptr<Connection>, std::string> connect(const std::string& path,
                                                               const std::shared_ptr<Events>& events) {
    auto connection = Connection::connectToService(path);
    if (!connection)
        return tl::unexpected("cannot connect to the helper at " + path + ": " + connection.error().reason());
    auto& c = *connection;
    c->setExportedInterface(velmora::kit::VelmoraHelperXPCInterface::clientInterface());
    c->setExportedObject<velmora::kit::VelmoraHelperClientXPCProtocol>(
        std::make_shared<ExitListener>(events));
    c->setRemoteObjectInterface(velmora::kit::VelmoraHelperXPCInterface::helperInterface());
    auto ended = [events] {
        {
            std::lock_guard lock(events->mutex);
            events->connectionEnded = true;
        }
        wake(kConnectionEvent);
    };
    c->setInterruptionHandler(ended);
    c->setInvalidationHandler(ended);
    c->resume();
    return c;
}

// Makes one call and waits for its reply or its error; the transport completes every call exactly once.
template <class... Values, class Call>
tl::expected<std::tuple<Values...>, ConnectionError> callAndWait(Connection& connection, Call call) {
    auto promise = std::make_shared<std::promise<tl::expected<std::tuple<Values...>, ConnectionError>>>();
    auto future = promise->get_future();
    auto proxy = connection.remoteObjectProxyWithErrorHandler<VelmoraHelperXPCProtocol>(
        [promise](const ConnectionError& error) { promise->set_value(tl::unexpected(error)); });
    if (!proxy) return tl::unexpected(ConnectionError{});
    call(*proxy, Reply<Values...>([promise](Values... values) {
        promise->set_value(std::tuple<Values...>(std::move(values)...));
    }));
    return future.get();
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return false;
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, -1);
            continue;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::optional<winsize> terminalSize() {
    winsize size{};
    if (::ioctl(STDIN_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return std::nullopt;
    return size;
}

// The local terminal in raw mode for as long as this lives.
class RawMode {
  public:
    RawMode() {
        if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios raw = saved_;
        ::cfmakeraw(&raw);
        active_ = ::tcsetattr(STDIN_FILENO, TCSADRAIN, &raw) == 0;
    }
    ~RawMode() {
        if (active_) ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_);
    }
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;

  private:
    termios saved_{};
    bool active_ = false;
};

int runInfo(const std::string& socketPath) {
    auto events = std::make_shared<Events>();
    auto connection = connect(socketPath, events);
    if (!connection) {
        std::cerr << "velmora-shell: " << connection.error() << "\n";
        return 1;
    }
    auto result = callAndWait<Blob>(**connection, [](VelmoraHelperXPCProtocol& helper, Reply<Blob> reply) {
        helper.fetchHelperInfo(std::move(reply));
    });
    (*connection)->invalidate();
    if (!result) {
        std::cerr << "velmora-shell: " << describe(result.error()) << "\n";
        return 1;
    }
    auto& blob = std::get<0>(*result);
    if (!blob) {
        std::cerr << "velmora-shell: the helper sent no info\n";
        return 1;
    }
    std::cout << *blob << "\n";
    return std::cout.flush() ? 0 : 1;
}

// Copies what is waiting on the terminal to standard output; false once the terminal has no writer left.
bool pumpTerminal(int terminal) {
    char buffer[16384];
    while (true) {
        ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n > 0) {
            writeAll(STDOUT_FILENO, buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && errno == EAGAIN;
    }
}

// Handles what woke the main loop: signals, a report of the shell's exit, the connection's end.
std::optional<Outcome> handleWake(Connection& connection, int wakeRead, std::int32_t pid, Events& events) {
    char bytes[64];
    ssize_t count = ::read(wakeRead, bytes, sizeof bytes);
    for (ssize_t i = 0; i < count; ++i) {
        int number = bytes[i];
        if (number == SIGWINCH) {
            auto size = terminalSize();
            auto helper = connection.remoteObjectProxyWithErrorHandler<VelmoraHelperXPCProtocol>(
                [](const ConnectionError&) {});
            if (size && helper)
                helper->resizeShell(pid, size->ws_col, size->ws_row, Reply<bool>([](bool) {}));
        } else if (number != kConnectionEvent) {
            return Outcome{128 + number, {}};
        }
    }
    std::lock_guard lock(events.mutex);
    if (auto exit = events.exits.find(pid); exit != events.exits.end()) {
        auto [status, signal] = exit->second;
        return Outcome{signal != 0 ? 128 + signal : status, {}};
    }
    if (events.connectionEnded) return failure("the connection to the helper ended before the shell exited");
    return std::nullopt;
}

// Bridges the terminal until the shell exits or the connection ends.
Outcome bridge(Connection& connection, int terminal, std::int32_t pid, int wakeRead, Events& events) {
    RawMode raw;
    bool inputOpen = true;
    bool terminalOpen = true;
    while (true) {
        pollfd fds[3] = {{wakeRead, POLLIN, 0},
                         {terminalOpen ? terminal : -1, POLLIN, 0},
                         {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return failure(velmora::platform::SystemError::fromErrno("poll").description());
        }
        // Wake-ups first, so that a resize reaches the helper before keys typed after it.
        if (fds[0].revents != 0) {
            if (auto outcome = handleWake(connection, wakeRead, pid, events)) {
                // The shell's last words may still be waiting on the terminal.
                if (terminalOpen) pumpTerminal(terminal);
                return *outcome;
            }
        }
        if (fds[1].revents != 0) terminalOpen = pumpTerminal(terminal);
        if (fds[2].revents != 0) {
            char buffer[4096];
            ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n > 0) {
                writeAll(terminal, buffer, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                // Input ran out: pass on an end-of-file character so the shell sees it too.
                inputOpen = false;
                writeAll(terminal, "\x04", 1);
            }
        }
    }
}

Outcome runShell(const Options& options, const std::string& socketPath) {
    // Kept open until the process ends: transport threads and signal handlers may still write late.
    int wakePipe[2];
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return failure(velmora::platform::SystemError::fromErrno("pipe2").description());
    gWakeWrite = wakePipe[1];

    auto events = std::make_shared<Events>();
    auto connection = connect(socketPath, events);
    if (!connection) return failure(connection.error());
    // Whatever happens below, the helper closes our shell when the connection goes.
    std::unique_ptr<Connection, void (*)(Connection*)> ender(connection->get(),
                                                             [](Connection* c) { c->invalidate(); });

    // Routed before measuring, so that a size change after the measurement is forwarded later.
    routeToWakePipe({SIGWINCH});
    velmora::kit::ShellLaunchRequest request;
    auto size = terminalSize();
    request.columns = size ? size->ws_col : 80;
    request.rows = size ? size->ws_row : 24;
    request.shellPath = options.shell;
    request.workingDirectory = options.workingDirectory;
    request.loginShell = options.login;
    if (auto term = velmora::platform::environmentValue("TERM")) request.environment["TERM"] = *term;
    auto encoded = request.encoded();
    if (!encoded) return failure("cannot encode the launch request: " + encoded.error().description);

    auto result = callAndWait<UniqueFd, Blob>(
        **connection, [&](VelmoraHelperXPCProtocol& helper, Reply<UniqueFd, Blob> reply) {
            helper.openShell(*encoded, std::move(reply));
        });
    if (!result) return failure(describe(result.error()));
    auto& [terminal, json] = *result;
    auto response = velmora::kit::ShellLaunchResponse::decode(json.value_or(""));
    if (!response)
        return failure("the helper's launch response was malformed: " + response.error().description);
    if (response->failure) return failure(*response->failure);
    if (!terminal.valid()) return failure("the helper sent no terminal");
    ::fcntl(terminal.get(), F_SETFL, ::fcntl(terminal.get(), F_GETFL) | O_NONBLOCK);

    // From here on these end the session through the main loop, which puts the terminal back first.
    routeToWakePipe({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
    return bridge(**connection, terminal.get(), response->processIdentifier, wakePipe[0], *events);
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    auto options = parseArguments(argc, argv);
    if (!options) {
        std::cerr << kUsage;
        return kUsageExit;
    }
    auto socketPath = options->socket ? options->socket : defaultSocketPath();
    if (!socketPath) {
        std::cerr << "velmora-shell: XDG_RUNTIME_DIR is not set; pass --socket PATH\n";
        return 1;
    }
    if (options->info) return runInfo(*socketPath);
    Outcome outcome = runShell(*options, *socketPath);
    if (!outcome.message.empty()) std::cerr << "velmora-shell: " << outcome.message << "\n";
    return outcome.status;
}
