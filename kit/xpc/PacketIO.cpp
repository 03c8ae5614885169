#include "kit/xpc/PacketIO.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace velmora::kit::xpc {

using platform::SystemError;
using platform::UniqueFd;

tl::expected<void, SystemError> sendPacket(int socket, std::string_view bytes,
                                           const std::vector<UniqueFd>& fds) {
    iovec io{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    std::vector<char> control;
    if (!fds.empty()) {
        control.resize(CMSG_SPACE(sizeof(int) * fds.size()));
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        for (size_t i = 0; i < fds.size(); ++i) {
            int fd = fds[i].get();
            std::memcpy(CMSG_DATA(header) + i * sizeof(int), &fd, sizeof(int));
        }
    }
    for (;;) {
        ssize_t sent = ::sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0) return {};
        if (errno != EINTR) return tl::unexpected(SystemError::fromErrno("sendmsg"));
    }
}

tl::expected<ReceivedPacket, SystemError> receivePacket(int socket, std::span<char> buffer,
                                                        size_t maxDescriptors) {
    iovec io{buffer.data(), buffer.size()};
    // On the stack: a receive should not cost an allocation. Room for the credentials as well, so that
    // they never take the place of a descriptor.
    alignas(
        cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * kMaxReceivedDescriptors)];
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(ucred)) +
                             CMSG_SPACE(sizeof(int) * std::min(maxDescriptors, kMaxReceivedDescriptors));
    ssize_t received = ::recvmsg(socket, &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
    if (received < 0) return tl::unexpected(SystemError::fromErrno("recvmsg"));

    ReceivedPacket packet;
    packet.length = static_cast<size_t>(received);
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET) continue;
        if (header->cmsg_type == SCM_CREDENTIALS && header->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred credentials{};
            std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
            packet.sender = credentials.pid;
            continue;
        }
        if (header->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
            packet.fds.emplace_back(fd);
        }
    }
    // On a SOCK_SEQPACKET socket a zero-length read is the peer's end; an empty packet is never valid
    // on this transport, so both count as the end.
    // Where no credentials came, their room may have taken more descriptors than were asked for.
    packet.controlTruncated = (message.msg_flags & MSG_CTRUNC) != 0 ||
                              packet.fds.size() > std::min(maxDescriptors, kMaxReceivedDescriptors);
    packet.endOfFile = received == 0 && !packet.controlTruncated;
    if (packet.endOfFile || packet.controlTruncated || (message.msg_flags & MSG_TRUNC) != 0)
        packet.fds.clear();
    return packet;
}

namespace {
// Watches the top-level "id" member go by; stops at the first syntax error.
class IdScanner : public nlohmann::json_sax<nlohmann::json> {
  public:
    std::optional<nlohmann::json> id;

    bool null() override { return take(nullptr); }
    bool boolean(bool) override { return take({}); }
    bool number_integer(number_integer_t value) override { return take(value); }
    bool number_unsigned(number_unsigned_t value) override { return take(value); }
    bool number_float(number_float_t, const string_t&) override { return take({}); }
    bool string(string_t& value) override { return take(value); }
    bool binary(binary_t&) override { return take({}); }
    bool start_object(std::size_t) override {
        expectingId_ = false;
        ++depth_;
        return true;
    }
    bool key(string_t& value) override {
        expectingId_ = depth_ == 1 && value == "id";
        return true;
    }
    bool end_object() override {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        expectingId_ = false;
        ++depth_;
        return true;
    }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    bool take(const nlohmann::json& value) {
        if (expectingId_ && (value.is_number_integer() || value.is_string())) id = value;
        expectingId_ = false;
        return true;
    }
    int depth_ = 0;
    bool expectingId_ = false;
};
}  // namespace

std::optional<nlohmann::json> readableId(std::string_view packet) {
    IdScanner scanner;
    (void)nlohmann::json::sax_parse(packet.begin(), packet.end(), &scanner,
                                    nlohmann::json::input_format_t::json, false);
    return scanner.id;
}

}  // namespace velmora::kit::xpc
