#pragma once

// One packet in, one packet out, on a SOCK_SEQPACKET socket, with descriptors passed as SCM_RIGHTS and,
// on a socket with SO_PASSCRED set, the sender's credentials (SCM_CREDENTIALS) beside them.

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::kit::xpc {

// Sends without blocking and without SIGPIPE.
[[nodiscard]] tl::expected<void, platform::SystemError> sendPacket(
    int socket, std::string_view bytes, const std::vector<platform::UniqueFd>& fds);

struct ReceivedPacket {
    size_t length = 0;  // the packet's real length; more than the buffer when it was cut short
    bool endOfFile = false;
    bool controlTruncated = false;  // more descriptors than accepted; those that arrived are already closed
    std::vector<platform::UniqueFd> fds;  // owned from the moment they arrive, close-on-exec
    // The process that sent it, as the kernel saw it at the send (0 where its pid is not visible here);
    // nullopt when the socket does not pass credentials.
    std::optional<pid_t> sender;
};

// The most descriptors receivePacket takes with one packet, whatever it is asked for.
inline constexpr size_t kMaxReceivedDescriptors = 16;

// Receives one packet into `buffer` without blocking. A cut-short packet or control block closes every
// descriptor that came with it.
[[nodiscard]] tl::expected<ReceivedPacket, platform::SystemError> receivePacket(int socket,
                                                                                std::span<char> buffer,
                                                                                size_t maxDescriptors);

// The request id of a (possibly cut-short or malformed) JSON-RPC message, when its prefix shows one.
[[nodiscard]] std::optional<nlohmann::json> readableId(std::string_view packet);

}  // namespace velmora::kit::xpc
