#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::kit::xpc {

// The kinds of value that may cross a call interface, with their widths.
enum class ValueKind {
    int32,           // signed 32-bit integer
    int64,           // signed 64-bit integer
    boolean,         // one truth value
    jsonDocument,    // opaque bytes holding one JSON document (base64 on the wire); null only in replies
    terminalHandle,  // an open descriptor passed alongside the message; null allowed; replies only
};

[[nodiscard]] std::string_view valueKindName(ValueKind kind);

struct MethodDescription {
    std::string selector;
    std::vector<ValueKind> arguments;
    bool oneWay = false;
    std::vector<ValueKind> reply;  // the reply block's values; empty when one-way or a bare completion

    friend bool operator==(const MethodDescription&, const MethodDescription&) = default;
};

// What a protocol looks like on the wire: its name and its methods in declaration order.
struct InterfaceDescription {
    std::string protocolName;
    std::vector<MethodDescription> methods;

    [[nodiscard]] const MethodDescription* find(std::string_view selector) const;

    friend bool operator==(const InterfaceDescription&, const InterfaceDescription&) = default;
};

}  // namespace velmora::kit::xpc
