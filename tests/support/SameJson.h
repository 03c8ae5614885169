#pragma once

#include <nlohmann/json.hpp>

namespace velmora::testing {

// Equal values of the same types all the way down: 1 read as signed still compares equal to 1 read
// as unsigned under ==, and decoders that ask for one type would see the difference.
inline bool sameDocument(const nlohmann::json& a, const nlohmann::json& b) {
    if (a.type() != b.type() || a.size() != b.size()) return false;
    if (a.is_object()) {
        for (const auto& [key, value] : a.items())
            if (!b.contains(key) || !sameDocument(value, b.at(key))) return false;
        return true;
    }
    if (a.is_array()) {
        for (size_t i = 0; i < a.size(); ++i)
            if (!sameDocument(a.at(i), b.at(i))) return false;
        return true;
    }
    return a == b;
}

}  // namespace velmora::testing
