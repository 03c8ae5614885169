#pragma once

// The opening of a connection. Linux ties no message to the code that sent it, and the server's check
// of a client reads the client's executable some time after it connected: anything the client sent in
// between may have come from code that ran before an exec, which the check never saw. So nothing sent
// before the verdict counts:
//
//   - the server reads nothing until its check of the peer has passed. Then, if a packet is already
//     waiting, the peer spoke before it was admitted and the connection ends; otherwise the server
//     sends the notification {"jsonrpc":"2.0","method":"rpc.accepted"} and only then starts reading;
//   - the client sends nothing until that notification has arrived, and it must be the first packet.
//     Calls made before it are held, and go out in order once it has come.
//
// A refused peer never gets the notification; its connection just ends.
//
// The check admits a process, not a socket: another process may hold the same socket (a child forked
// after the connect, kept while the parent execs the signed client; or one that took it with
// pidfd_getfd). So the accepting end sets SO_PASSCRED on the socket as it accepts it, the kernel tells
// it the sending process of every packet, and a packet from any pid but the admitted peer's ends the
// connection. Such a process can still read what the server sends, and hang up; it cannot speak.

#include <string_view>

namespace velmora::kit::xpc {

enum class Handshake {
    none,      // both ends were made together (a socketpair): nothing to wait for
    announce,  // the accepting end: admits the peer with the notification
    await,     // the connecting end: sends nothing before the notification
};

inline constexpr std::string_view kAcceptedAnnouncement = R"({"jsonrpc":"2.0","method":"rpc.accepted"})";

// True when `packet` is the announcement (in any spacing or member order).
[[nodiscard]] bool isAcceptedAnnouncement(std::string_view packet);

enum class EarlyInput { none, packet, endOfFile };

// What already waits on the socket, without taking it: a packet the peer sent, its end, or nothing.
[[nodiscard]] EarlyInput inputWaiting(int socket);

// True once the peer has closed its end of `socket` (whatever it left unread there).
[[nodiscard]] bool hasHungUp(int socket);

}  // namespace velmora::kit::xpc
