#pragma once

#include <cerrno>
#include <string>

namespace velmora::platform {

// A failed system call: its name and errno, as the kernel reported it.
struct SystemError {
    std::string call;
    int code = 0;

    static SystemError fromErrno(std::string call) { return SystemError{std::move(call), errno}; }

    // "call: strerror text", for log lines and messages meant for people.
    [[nodiscard]] std::string description() const;
    // The strerror text alone.
    [[nodiscard]] std::string reason() const;

    friend bool operator==(const SystemError&, const SystemError&) = default;
};

}  // namespace velmora::platform
