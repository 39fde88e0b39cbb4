#include "UdpExchange.h"

#include "framework/Wait.h"

namespace udpx {

void DropStale(platform::UdpSocket& socket) {
    for (int i = 0; i < 256; ++i)
        if (!socket.ReceiveFrom()) return;
}

std::optional<platform::Datagram> PollForReply(platform::UdpSocket& socket, int polls, const Accept& accept) {
    // A stopped search polls no more.
    for (int i = 0; i < polls && !StopRequested(); ++i) {
        auto d = socket.ReceiveFrom();
        if (d && accept(*d)) return d;
        WaitPumping(kPollPauseMs);
    }
    return std::nullopt;
}

std::optional<platform::Datagram> Exchange(platform::UdpSocket& socket, std::span<const std::uint8_t> request,
                                           const std::string& address, std::uint16_t port, int polls,
                                           const Accept& accept) {
    DropStale(socket);
    if (!socket.SendTo(request, address, port)) return std::nullopt;
    return PollForReply(socket, polls, accept);
}

}  // namespace udpx
