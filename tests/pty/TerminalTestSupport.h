#pragma once

// The shell-process probe's report, read from a real pseudo-terminal.

#include <map>
#include <string>
#include <vector>

namespace velmora::testing {

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
        if (line.ends_with('\r')) line.pop_back();
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
