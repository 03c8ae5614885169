#pragma once

// Reading what a child wrote to its terminal, for tests that drive real pseudo-terminals.

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace velmora::testing {

// Reads from the controlling side until `marker` has appeared (carriage returns dropped), the side
// reports end of file or an error, or `timeout` passes. Returns everything read.
inline std::string readTerminalUntil(int fd, const std::string& marker,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find(marker) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) != 1) break;
        char buffer[4096];
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0) break;
        for (ssize_t i = 0; i < count; ++i)
            if (buffer[i] != '\r') text += buffer[i];
    }
    return text;
}

// The probe's report: "key=value" lines up to END; repeated keys (env) keep every value in order.
struct ProbeReport {
    std::map<std::string, std::string> values;
    std::vector<std::string> environment;
    bool complete = false;

    [[nodiscard]] std::string operator[](const std::string& key) const {
        auto found = values.find(key);
        return found == values.end() ? std::string("<missing>") : found->second;
    }
};

inline ProbeReport parseProbeReport(const std::string& text) {
    ProbeReport report;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) break;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line == "END") {
            report.complete = true;
            break;
        }
        auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (key == "env")
            report.environment.push_back(value);
        else
            report.values[key] = value;
    }
    return report;
}

}  // namespace velmora::testing
