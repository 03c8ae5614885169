#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace velmora::kit::xpc {

// Writes a message's envelope around its parts directly: building it as a document first would cost a
// map with its keys, and a copy of the parameters, per message. The bytes are the ones the JSON
// library writes for the same document in compact form (invalid UTF-8 replaced).
class Envelope {
  public:
    Envelope& member(std::string_view key, const nlohmann::json& value);
    [[nodiscard]] std::string finish();

  private:
    void write(const nlohmann::json& value);

    std::string bytes_{R"({"jsonrpc":"2.0")"};
};

}  // namespace velmora::kit::xpc
