#pragma once

#include <string>

namespace velmora::kit {

// Why a record could not be written as JSON (in practice: a text that is not valid UTF-8).
struct EncodingError {
    std::string description;

    friend bool operator==(const EncodingError&, const EncodingError&) = default;
};

}  // namespace velmora::kit
