#include "platform/UserScopes.h"

#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <utility>

#include "platform/Environment.h"
#include "platform/SharedLibrary.h"
#include "platform/SystemError.h"

namespace velmora::platform {

namespace {

#ifndef P_PIDFD
constexpr int P_PIDFD = 3;
#endif

// A manager that does not answer holds up the moves behind it for this long at most.
constexpr std::uint64_t kCallTimeoutMicroseconds = 5'000'000;

// The sd-bus functions used, bound from Debian 12's libsystemd0 on the first request.
struct SdBus {
    decltype(&::sd_bus_new) sd_bus_new = nullptr;
    decltype(&::sd_bus_set_address) sd_bus_set_address = nullptr;
    decltype(&::sd_bus_start) sd_bus_start = nullptr;
    decltype(&::sd_bus_open_user) sd_bus_open_user = nullptr;
    decltype(&::sd_bus_set_method_call_timeout) sd_bus_set_method_call_timeout = nullptr;
    decltype(&::sd_bus_is_open) sd_bus_is_open = nullptr;
    decltype(&::sd_bus_call_method) sd_bus_call_method = nullptr;
    decltype(&::sd_bus_process) sd_bus_process = nullptr;
    decltype(&::sd_bus_error_free) sd_bus_error_free = nullptr;
    decltype(&::sd_bus_message_unref) sd_bus_message_unref = nullptr;
    decltype(&::sd_bus_flush_close_unref) sd_bus_flush_close_unref = nullptr;

    static tl::expected<const SdBus*, std::string> get() {
        static const tl::expected<SdBus, std::string> loaded = load();
        if (!loaded) return tl::unexpected(loaded.error());
        return &*loaded;
    }

  private:
    static tl::expected<SdBus, std::string> load() {
        return SharedLibrary::loadTable<SdBus>("libsystemd.so.0", [](auto& t, auto& bind) {
            bind(t.sd_bus_new, "sd_bus_new");
            bind(t.sd_bus_set_address, "sd_bus_set_address");
            bind(t.sd_bus_start, "sd_bus_start");
            bind(t.sd_bus_open_user, "sd_bus_open_user");
            bind(t.sd_bus_set_method_call_timeout, "sd_bus_set_method_call_timeout");
            bind(t.sd_bus_is_open, "sd_bus_is_open");
            bind(t.sd_bus_call_method, "sd_bus_call_method");
            bind(t.sd_bus_process, "sd_bus_process");
            bind(t.sd_bus_error_free, "sd_bus_error_free");
            bind(t.sd_bus_message_unref, "sd_bus_message_unref");
            bind(t.sd_bus_flush_close_unref, "sd_bus_flush_close_unref");
        });
    }
};

std::string errorText(int negativeCode) {
    return SystemError{"", -negativeCode}.reason();
}

UserScopes::Failure noManager(std::string cause, std::string message) {
    return {UserScopes::Failure::Kind::noManager, std::move(cause), std::move(message)};
}

// True while the process behind `pidfd` (a child of this process) has not exited. A process that has
// exited keeps its pid until it is reaped, and is never moved: the pid may go to another process.
bool stillRunning(const UniqueFd& pidfd) {
    siginfo_t info{};
    return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd.get()), &info,
                    WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

}  // namespace

// One connection to the manager, used from the scope thread only.
struct UserScopes::Bus {
    const SdBus& api;
    sd_bus* bus = nullptr;

    explicit Bus(const SdBus& table) : api(table) {}
    ~Bus() { drop(); }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    void drop() { bus = bus ? api.sd_bus_flush_close_unref(bus) : nullptr; }

    // The manager's private socket needs no message bus; the session bus is the way in without it.
    tl::expected<void, Failure> connect() {
        if (bus && api.sd_bus_is_open(bus) > 0) return {};
        drop();
        auto runtime = environmentValue("XDG_RUNTIME_DIR");
        std::string path = runtime && !runtime->empty() ? *runtime + "/systemd/private" : "";
        int privateError = -ENOENT;
        if (!path.empty() && (privateError = api.sd_bus_new(&bus)) >= 0 &&
            (privateError = api.sd_bus_set_address(bus, ("unix:path=" + path).c_str())) >= 0 &&
            (privateError = api.sd_bus_start(bus)) >= 0)
            return timeout();
        drop();
        int sessionError = api.sd_bus_open_user(&bus);
        if (sessionError >= 0) return timeout();
        bus = nullptr;
        return tl::unexpected(noManager(
            "connect:" + errorText(privateError),
            "no user manager answers at " +
                (path.empty() ? std::string("$XDG_RUNTIME_DIR/systemd/private") : path) + " (" +
                errorText(privateError) + ") or on the session bus (" + errorText(sessionError) + ")"));
    }

    tl::expected<void, Failure> timeout() {
        api.sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);
        return {};
    }

    tl::expected<void, Failure> startScope(const Request& request) {
        sd_bus_error error{};  // SD_BUS_ERROR_NULL is a C compound literal
        sd_bus_message* reply = nullptr;
        int result = api.sd_bus_call_method(
            bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
            "StartTransientUnit", &error, &reply, "ssa(sv)a(sa(sv))", request.unitName.c_str(), "fail", 3,
            "PIDs", "au", 1, static_cast<std::uint32_t>(request.pid), "Description", "s",
            request.description.c_str(), "CollectMode", "s", "inactive-or-failed", 0);
        tl::expected<void, Failure> outcome;
        if (result < 0 && api.sd_bus_is_open(bus) <= 0) {
            // The connection is no use any more; the next request connects again.
            drop();
            outcome = tl::unexpected(
                noManager("call:" + errorText(result), "the user manager went away: " + errorText(result)));
        } else if (result < 0) {
            std::string cause = error.name ? error.name : "call:" + errorText(result);
            outcome = tl::unexpected(Failure{Failure::Kind::refused, cause,
                                             "the user manager refused " + request.unitName + ": " +
                                                 (error.message ? error.message : errorText(result))});
        }
        api.sd_bus_error_free(&error);
        if (reply) api.sd_bus_message_unref(reply);
        discardSignals();
        return outcome;
    }

    // The manager sends each client of its private socket every signal it emits, asked for or not, and
    // a call keeps those it reads on the way to its reply: without this they pile up for as long as the
    // helper runs. Nothing here listens for any.
    void discardSignals() {
        while (bus && api.sd_bus_process(bus, nullptr) > 0) {
        }
    }
};

std::shared_ptr<UserScopes> UserScopes::create(Reporter reporter) {
    return std::shared_ptr<UserScopes>(new UserScopes(std::move(reporter)));
}

UserScopes::UserScopes(Reporter reporter)
    : reporter_(std::move(reporter)), thread_(DispatchQueue::createBlocking("user-scopes", 1)) {}

UserScopes::~UserScopes() = default;

void UserScopes::move(Request request, Completion done) {
    if (waiting_.fetch_add(1) >= kMaxWaiting) {
        waiting_.fetch_sub(1);
        settle(tl::unexpected(Failure{
                   Failure::Kind::refused, "backlog",
                   "more than " + std::to_string(kMaxWaiting) + " scope requests wait for the user manager"}),
               done);
        return;
    }
    // One thread: requests run one at a time, in order, and the connection is never shared.
    thread_->async([self = shared_from_this(), request = std::move(request), done = std::move(done)] {
        self->waiting_.fetch_sub(1);
        self->settle(self->moveNow(request), done);
    });
}

tl::expected<void, UserScopes::Failure> UserScopes::moveNow(const Request& request) {
    if (!bus_) {
        auto api = SdBus::get();
        if (!api) return tl::unexpected(noManager("library", api.error()));
        bus_ = std::make_unique<Bus>(**api);
    }
    if (auto connected = bus_->connect(); !connected) return connected;
    if (request.pidfd && !stillRunning(*request.pidfd)) return {};
    return bus_->startScope(request);
}

void UserScopes::settle(const tl::expected<void, Failure>& outcome, const Completion& done) {
    if (!outcome) {
        bool first = false;
        {
            std::lock_guard guard(causesLock_);
            first = reportedCauses_.insert(outcome.error().cause).second;
        }
        if (first && reporter_) reporter_(outcome.error());
    }
    if (done) done(outcome);
}

}  // namespace velmora::platform
