#include "kit/xpc/PlainJsonEnvelope.h"

#include <algorithm>
#include <cstdint>

#include "kit/xpc/PlainJson.h"

namespace velmora::kit::xpc {

using nlohmann::json;

Envelope& Envelope::member(std::string_view key, const json& value) {
    bytes_ += ",\"";
    bytes_ += key;
    bytes_ += "\":";
    write(value);
    return *this;
}

std::string Envelope::finish() {
    bytes_ += '}';
    return std::move(bytes_);
}

// The library writes a string a character at a time. A string with nothing to escape (all of base64,
// most paths) goes in whole, and numbers and arrays of such values are written around it; anything
// else is the library's own compact text of that value.
void Envelope::write(const json& value) {
    switch (value.type()) {
        case json::value_t::string: {
            const auto& text = value.get_ref<const std::string&>();
            if (std::all_of(text.begin(), text.end(), isPlainCharacter)) {
                bytes_ += '"';
                bytes_ += text;
                bytes_ += '"';
                return;
            }
            break;
        }
        case json::value_t::number_integer:
            bytes_ += std::to_string(value.get<std::int64_t>());
            return;
        case json::value_t::array: {
            bytes_ += '[';
            for (auto element = value.begin(); element != value.end(); ++element) {
                if (element != value.begin()) bytes_ += ',';
                write(*element);
            }
            bytes_ += ']';
            return;
        }
        default:
            break;
    }
    bytes_ += value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace velmora::kit::xpc
