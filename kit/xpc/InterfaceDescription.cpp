#include "kit/xpc/InterfaceDescription.h"

namespace velmora::kit::xpc {

std::string_view valueKindName(ValueKind kind) {
    switch (kind) {
        case ValueKind::int32:
            return "32-bit integer";
        case ValueKind::int64:
            return "64-bit integer";
        case ValueKind::boolean:
            return "boolean";
        case ValueKind::jsonDocument:
            return "JSON document";
        case ValueKind::terminalHandle:
            return "terminal handle";
    }
    return "value";
}

const MethodDescription* InterfaceDescription::find(std::string_view selector) const {
    for (const auto& method : methods)
        if (method.selector == selector) return &method;
    return nullptr;
}

}  // namespace velmora::kit::xpc
