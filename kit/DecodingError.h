#pragma once

#include <string>

namespace velmora::kit {

// Why a JSON document could not be read into a record. `description` is the text a person sees.
struct DecodingError {
    enum class Kind { dataCorrupted, typeMismatch, keyNotFound, valueNotFound };
    Kind kind = Kind::dataCorrupted;
    std::string description;

    friend bool operator==(const DecodingError&, const DecodingError&) = default;
};

}  // namespace velmora::kit
