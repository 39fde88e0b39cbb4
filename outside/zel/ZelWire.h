// Framing shared by the ZelAPI stand-ins and the chassis server ZelServerAP
// (outside/PROTOCOLS.md): big-endian fields, interface broadcast addresses.
#pragma once
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace zelwire {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kChassisPort = 7300;
inline constexpr std::uint16_t kServerPort = 7310;
inline constexpr std::uint16_t kDiscoveryPort = 7311;

inline void PutU16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
inline std::uint16_t GetU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// Up, non-loopback IPv4 interfaces with a broadcast address: (address, broadcast), host order.
inline std::vector<std::pair<std::uint32_t, std::uint32_t>> BroadcastInterfaces() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return out;
    for (ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
            (i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_BROADCAST) || !i->ifa_broadaddr)
            continue;
        out.emplace_back(ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr),
                         ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr));
    }
    ::freeifaddrs(all);
    return out;
}

inline int UdpSocket(std::uint32_t bindAddress, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(bindAddress);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool SendTo(int fd, const Bytes& b, std::uint32_t address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return ::sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(b.size());
}

// A datagram of the chassis or discovery protocols: magic, op, status, sequence.
inline Bytes Datagram(const char magic[4], std::uint8_t op, std::uint16_t seq, std::size_t body) {
    Bytes b(8 + body, 0);
    std::memcpy(b.data(), magic, 4);
    b[4] = op;
    PutU16(b, 6, seq);
    return b;
}

// A server-protocol frame: length of what follows (u16), op, body.
inline Bytes Frame(std::uint8_t op, const Bytes& body) {
    Bytes b(3 + body.size());
    PutU16(b, 0, static_cast<std::uint16_t>(1 + body.size()));
    b[2] = op;
    std::copy(body.begin(), body.end(), b.begin() + 3);
    return b;
}

}  // namespace zelwire
