#include "UdpExchange.h"

#include "base/Log.h"
#include "framework/Wait.h"

namespace udpx {

void DropStale(platform::UdpSocket& socket) {
    for (int i = 0; i < 256; ++i)
        if (!socket.ReceiveFrom()) return;
}

bool PauseAfterPoll(platform::UdpSocket& socket, bool other, bool stoppable) {
    if (other) {
        FixedWait(kPollPauseMs, stoppable);
        return false;
    }
    return PaceReadable(socket.Descriptor(), kPollPauseMs, stoppable);
}

std::optional<platform::Datagram> PollForReply(platform::UdpSocket& socket, int polls, const Accept& accept,
                                               bool stoppable) {
    bool woke = false;
    // A stopped search polls no more.
    for (int i = 0; i < polls && !(stoppable && StopRequested()); ++i) {
        auto d = socket.ReceiveFrom();
        const bool accepted = d && accept(*d);
        if (accepted) return d;
        woke = PauseAfterPoll(socket, OtherThanAwaited(d.has_value(), accepted, woke), stoppable);
    }
    return std::nullopt;
}

std::optional<platform::Datagram> Exchange(platform::UdpSocket& socket, std::span<const std::uint8_t> request,
                                           const std::string& address, std::uint16_t port, int polls,
                                           const Accept& accept, bool stoppable) {
    DropStale(socket);
    if (!socket.SendTo(request, address, port)) {
        LOG_WARN("udp", "request to %s:%u not sent", address.c_str(), port);
        return std::nullopt;
    }
    return PollForReply(socket, polls, accept, stoppable);
}

bool IsUnicastDeviceAddress(std::uint32_t address, const std::string& localAddress) {
    const std::uint32_t top = address >> 24;
    if (top == 0 || top >= 224) return false;  // this network; multicast, reserved, broadcast
    const auto local = platform::ParseIpv4(localAddress);
    if (top == 127 && !(local && (*local >> 24) == 127)) return false;
    if (!local) return true;
    const auto mask = platform::NetmaskOf(localAddress);
    // Subnets of /31 and /32 have no broadcast or network address.
    if (!mask || *mask == 0 || (~*mask) <= 1u) return true;
    if ((address & *mask) != (*local & *mask)) return true;  // beyond the subnet, reached by a router
    const std::uint32_t host = address & ~*mask;
    return host != 0 && host != ~*mask;
}

}  // namespace udpx
