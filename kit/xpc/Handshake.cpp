#include "kit/xpc/Handshake.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <nlohmann/json.hpp>

namespace velmora::kit::xpc {

bool isAcceptedAnnouncement(std::string_view packet) {
    if (packet == kAcceptedAnnouncement) return true;
    auto message = nlohmann::json::parse(packet.begin(), packet.end(), nullptr, false);
    return message.is_object() && message.size() == 2 && message.value("jsonrpc", "") == "2.0" &&
           message.value("method", "") == "rpc.accepted";
}

EarlyInput inputWaiting(int socket) {
    char byte;
    for (;;) {
        ssize_t length = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (length > 0) return EarlyInput::packet;
        // A zero-length read is the peer's end (an empty packet is never sent by either end).
        if (length == 0) return EarlyInput::endOfFile;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? EarlyInput::none : EarlyInput::endOfFile;
    }
}

bool hasHungUp(int socket) {
    pollfd poller{socket, POLLRDHUP, 0};
    return ::poll(&poller, 1, 0) > 0 && (poller.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace velmora::kit::xpc
