// Packets from a peer, one per input line, into a real Connection that exports the helper's interface
// and has one call of its own outstanding. Whatever arrives, the connection ends on the peer's end of
// file and that call completes exactly once.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <thread>

#include "kit/xpc/PacketIO.h"
#include "kit/xpc/PlainJson.h"
#include "kit/xpc/VelmoraHelperXPC.h"
#include "tests/support/SameJson.h"

using namespace velmora;
using kit::Blob;
using kit::Reply;

struct Served final : kit::VelmoraHelperXPCProtocol {
    void fetchHelperInfo(Reply<Blob> reply) override { reply("{}"); }
    void openShell(Blob, Reply<platform::UniqueFd, Blob> reply) override { reply({}, {}); }
    void resizeShell(std::int32_t, std::int64_t, std::int64_t, Reply<bool> reply) override { reply(true); }
    void signalShell(std::int32_t, std::int32_t, Reply<bool> reply) override { reply(false); }
    void closeShell(std::int32_t, Reply<> reply) override { reply(); }
    void beginSelfUpdate(Blob manifest, Reply<Blob> reply) override { reply(manifest); }
    void cancelSelfUpdate(Reply<> reply) override { reply(); }
    void beginUninstall(Reply<Blob> reply) override { reply({}); }
};

// The connection reads most packets with the plain reader: whatever it accepts, the general parser
// must accept and read the same.
void checkPlainReader(std::string_view packet) {
    auto plain = kit::xpc::parsePlainJson(packet);
    if (!plain) return;
    auto full = nlohmann::json::parse(packet.begin(), packet.end(), nullptr, false);
    if (full.is_discarded() || !velmora::testing::sameDocument(*plain, full)) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) __builtin_trap();
    platform::UniqueFd peer(pair[1]);
    auto connection = kit::xpc::Connection::adopt(platform::UniqueFd(pair[0])).value();
    std::promise<void> ended;
    std::atomic<int> completions = 0;
    connection->setExportedInterface(kit::VelmoraHelperXPCInterface::helperInterface());
    connection->setExportedObject<kit::VelmoraHelperXPCProtocol>(std::make_shared<Served>());
    connection->setRemoteObjectInterface(kit::VelmoraHelperXPCInterface::helperInterface());
    connection->setInvalidationHandler([&] { ended.set_value(); });
    connection->resume();
    connection
        ->remoteObjectProxyWithErrorHandler<kit::VelmoraHelperXPCProtocol>([&](auto&) { ++completions; })
        ->fetchHelperInfo(Reply<Blob>([&](Blob) { ++completions; }));
    std::weak_ptr<kit::xpc::Connection> watched = connection;
    connection.reset();
    std::string_view input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0, end = 0; start < input.size(); start = end + 1) {
        end = std::min(input.find('\n', start), input.size());
        std::vector<platform::UniqueFd> fds;
        if (input.substr(start, end - start).find("\"fd\"") != std::string_view::npos)
            fds.emplace_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        checkPlainReader(input.substr(start, end - start));
        if (end == start) continue;  // an empty packet would read as the end
        auto sent = kit::xpc::sendPacket(peer.get(), input.substr(start, end - start), fds);
        for (pollfd wait{peer.get(), POLLOUT, 0}; !sent && sent.error().code == EAGAIN;) {
            ::poll(&wait, 1, 100);  // the connection reads on; a connection that ended closes its end
            sent = kit::xpc::sendPacket(peer.get(), input.substr(start, end - start), fds);
        }
    }
    ::shutdown(peer.get(), SHUT_WR);
    ended.get_future().wait();
    while (!watched.expired()) std::this_thread::yield();
    if (completions != 1) __builtin_trap();
    return 0;
}
