#include "tools/velmora-shell/ShellSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include "kit/ShellMessages.h"
#include "platform/Environment.h"
#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

extern char** environ;

namespace velmora::shell {

namespace {

using kit::Blob;
using kit::Reply;
using kit::VelmoraHelperXPCProtocol;
using kit::xpc::Connection;
using platform::UniqueFd;

constexpr char kConnectionEvent = 'c';

// Passed when set: what a desktop session gives its programs (displays, their authority, the session
// bus, the runtime directory, the session's kind and desktop, data and configuration folders, the SSH
// agent) and the locale.
constexpr std::array kSessionVariables = {"DISPLAY",
                                          "XAUTHORITY",
                                          "WAYLAND_DISPLAY",
                                          "DBUS_SESSION_BUS_ADDRESS",
                                          "XDG_RUNTIME_DIR",
                                          "XDG_SESSION_TYPE",
                                          "XDG_CURRENT_DESKTOP",
                                          "XDG_SESSION_DESKTOP",
                                          "DESKTOP_SESSION",
                                          "XDG_DATA_DIRS",
                                          "XDG_CONFIG_DIRS",
                                          "SSH_AUTH_SOCK",
                                          "LANG",
                                          "LANGUAGE",
                                          "TERM"};
// This terminal's own description, passed empty when unset: the shell draws on this terminal, not on
// the one the helper assumes (truecolor, TERM_PROGRAM=Velmora).
constexpr std::array kTerminalVariables = {"COLORTERM", "TERM_PROGRAM", "TERM_PROGRAM_VERSION"};
// Inside a sandbox these describe the sandbox's own plumbing (a proxied bus, a renumbered display and
// its authority file, a private runtime directory, folders under /app, a forwarded agent socket): on
// the host, where the shell runs, they lead nowhere or somewhere else.
constexpr std::array kSandboxPlumbing = {
    "DISPLAY",         "XAUTHORITY",    "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
    "XDG_RUNTIME_DIR", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "SSH_AUTH_SOCK"};

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
                [](const kit::xpc::ConnectionError&) {});
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
            return failure(platform::SystemError::fromErrno("poll").description());
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

}  // namespace

kit::ShellLaunchEnvironment::Variables sessionVariables() {
    kit::ShellLaunchEnvironment::Variables variables;
    for (const char* name : kSessionVariables)
        if (auto value = platform::environmentValue(name)) variables[name] = *value;
    if (inSandbox())
        for (const char* name : kSandboxPlumbing) variables.erase(name);
    for (const char* name : kTerminalVariables)
        variables[name] = platform::environmentValue(name).value_or("");
    // Every locale category the user set (LC_ALL, LC_CTYPE, ...): the helper's own locale may not exist
    // here, or may not be this user's.
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text = *entry;
        auto equals = text.find('=');
        if (text.starts_with("LC_") && equals != std::string_view::npos)
            variables[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
    }
    return variables;
}

Outcome runShell(const HelperAddress& address, const ShellOptions& options) {
    // Kept open until the process ends: transport threads and signal handlers may still write late.
    int wakePipe[2];
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return failure(platform::SystemError::fromErrno("pipe2").description());
    gWakeWrite = wakePipe[1];

    auto events = std::make_shared<Events>();
    ClientHandlers handlers;
    handlers.shellDidExit = [events](std::int32_t pid, std::int32_t status, std::int32_t signal) {
        {
            std::lock_guard lock(events->mutex);
            events->exits[pid] = {status, signal};
        }
        wake(kConnectionEvent);
    };
    handlers.ended = [events] {
        {
            std::lock_guard lock(events->mutex);
            events->connectionEnded = true;
        }
        wake(kConnectionEvent);
    };
    auto connection = connectToHelper(address, std::move(handlers));
    if (!connection) return connection.error();
    // Whatever happens below, the helper closes our shell when the connection goes.
    std::unique_ptr<Connection, void (*)(Connection*)> ender(connection->get(),
                                                             [](Connection* c) { c->invalidate(); });

    // Routed before measuring, so that a size change after the measurement is forwarded later.
    routeToWakePipe({SIGWINCH});
    kit::ShellLaunchRequest request;
    auto size = terminalSize();
    request.columns = size ? size->ws_col : 80;
    request.rows = size ? size->ws_row : 24;
    request.shellPath = options.shell;
    // The helper resolves paths in its own directory, not in ours.
    if (options.workingDirectory) {
        std::error_code error;
        auto absolute = std::filesystem::absolute(*options.workingDirectory, error);
        auto normal = absolute.lexically_normal().string();
        if (normal.size() > 1 && normal.back() == '/') normal.pop_back();
        request.workingDirectory = error ? *options.workingDirectory : normal;
    }
    request.loginShell = options.login;
    request.environment = sessionVariables();
    auto encoded = request.encoded();
    if (!encoded) return failure("cannot encode the launch request: " + encoded.error().description);

    auto result = callAndWait<UniqueFd, Blob>(
        **connection, [&](VelmoraHelperXPCProtocol& helper, Reply<UniqueFd, Blob> reply) {
            helper.openShell(*encoded, std::move(reply));
        });
    if (!result) return failure(describe(result.error()));
    auto& [terminal, json] = *result;
    auto response = kit::ShellLaunchResponse::decode(json.value_or(""));
    if (!response)
        return failure("the helper's launch response was malformed: " + response.error().description);
    if (response->failure) return failure(*response->failure);
    if (!terminal.valid()) return failure("the helper sent no terminal");
    ::fcntl(terminal.get(), F_SETFL, ::fcntl(terminal.get(), F_GETFL) | O_NONBLOCK);

    // From here on these end the session through the main loop, which puts the terminal back first.
    routeToWakePipe({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
    return bridge(**connection, terminal.get(), response->processIdentifier, wakePipe[0], *events);
}

}  // namespace velmora::shell
