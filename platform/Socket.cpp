#include "Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace platform {

std::string FormatIpv4(std::uint32_t address) {
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                  (address >> 8) & 0xFFu, address & 0xFFu);
    return text;
}

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
    in_addr a{};
    if (text.empty() || text.size() > 15 || ::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return ntohl(a.s_addr);
}

std::vector<std::string> LocalIPv4Addresses() {
    std::vector<std::string> list;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return list;
    for (ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        list.push_back(FormatIpv4(ntohl(sin->sin_addr.s_addr)));
    }
    ::freeifaddrs(all);
    return list;
}

std::optional<std::uint32_t> NetmaskOf(const std::string& localAddress) {
    const auto local = ParseIpv4(localAddress);
    if (!local) return std::nullopt;
    std::optional<std::uint32_t> mask;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return std::nullopt;
    for (ifaddrs* i = all; i && !mask; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET) continue;
        if (ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) != *local) continue;
        mask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    }
    ::freeifaddrs(all);
    return mask;
}

namespace {

bool MakeAddress(const std::string& text, std::uint16_t port, sockaddr_in& out) {
    auto address = ParseIpv4(text);
    if (!address) return false;
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    out.sin_addr.s_addr = htonl(*address);
    return true;
}

int PollOne(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int r = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (r >= 0) return r > 0 ? p.revents : 0;
        if (errno != EINTR) return POLLERR;
    }
}

}  // namespace

UdpSocket::~UdpSocket() { Close(); }

void UdpSocket::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

namespace {

// True when the address is one of this host's (a socket can be bound to it).
bool IsLocalAddress(std::uint32_t local) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(local);
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// The index of the interface that holds this local address, or else of the
// one whose subnet holds it (any 127/8 address is loopback's); 0 when none.
int InterfaceIndexOf(std::uint32_t local) {
    int exact = 0, subnet = 0;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return 0;
    for (ifaddrs* i = all; i && !exact; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name) continue;
        const std::uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        const std::uint32_t mask =
            i->ifa_netmask ? ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr) : ~0u;
        if (address == local)
            exact = static_cast<int>(::if_nametoindex(i->ifa_name));
        else if (!subnet && mask != 0 && (address & mask) == (local & mask))
            subnet = static_cast<int>(::if_nametoindex(i->ifa_name));
    }
    ::freeifaddrs(all);
    return exact ? exact : subnet;
}

}  // namespace

bool UdpSocket::Create(const std::string& localAddress) {
    Close();
    const auto local = ParseIpv4(localAddress);
    if (!local || !IsLocalAddress(*local)) return false;
    const int ifindex = InterfaceIndexOf(*local);
    if (ifindex <= 0) return false;
    // Bound to the wildcard address, so that broadcasts reach it too; the
    // arrival interface of each datagram (IP_PKTINFO) keeps it to its own
    // interface, and every send names the interface and source address. No
    // privilege is needed for either.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int on = 1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_local = *local;
    m_ifindex = ifindex;
    return true;
}

bool UdpSocket::EnableBroadcast() {
    const int on = 1;
    return m_fd >= 0 && ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool UdpSocket::SendTo(std::span<const std::uint8_t> data, const std::string& address, std::uint16_t port) {
    sockaddr_in to{};
    if (m_fd < 0 || !MakeAddress(address, port, to)) return false;
    iovec iov{const_cast<std::uint8_t*>(data.data()), data.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = m_ifindex;
    info.ipi_spec_dst.s_addr = htonl(m_local);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    ssize_t n;
    do {
        n = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(data.size());
}

std::optional<Datagram> UdpSocket::ReceiveFrom() {
    if (m_fd < 0) return std::nullopt;
    // A UDP datagram never exceeds 65535 bytes, so it always arrives whole.
    std::vector<std::uint8_t> buffer(65536);
    // Datagrams of other interfaces are passed over; bounded, so that a flood
    // there cannot hold the caller.
    for (int passedOver = 0; passedOver < 256;) {
        sockaddr_in from{};
        iovec iov{buffer.data(), buffer.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(m_fd, &msg, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Nothing waiting, or an error report (an ICMP unreachable from an
            // earlier send): no datagram this time.
            return std::nullopt;
        }
        int arrival = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                arrival = info.ipi_ifindex;
            }
        if (arrival != m_ifindex) {
            ++passedOver;
            continue;
        }
        Datagram d;
        buffer.resize(static_cast<std::size_t>(n));
        d.bytes = std::move(buffer);
        d.sender = FormatIpv4(ntohl(from.sin_addr.s_addr));
        d.senderPort = ntohs(from.sin_port);
        return d;
    }
    return std::nullopt;
}

TcpSocket::~TcpSocket() { Close(); }

void TcpSocket::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool TcpSocket::StartConnect(const std::string& address, std::uint16_t port) {
    Close();
    sockaddr_in to{};
    if (!MakeAddress(address, port, to)) return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool TcpSocket::WaitConnected(int timeoutMs) {
    if (m_fd < 0) return false;
    const int events = PollOne(m_fd, POLLOUT, timeoutMs);
    if (!(events & (POLLOUT | POLLERR | POLLHUP))) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
    return (events & POLLOUT) && !(events & POLLERR);
}

bool TcpSocket::ConnectEnded(int timeoutMs) {
    if (m_fd < 0) return false;
    return (PollOne(m_fd, POLLOUT, timeoutMs) & (POLLOUT | POLLERR | POLLHUP)) != 0;
}

bool TcpSocket::Send(std::span<const std::uint8_t> data, int timeoutMs) {
    if (m_fd < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        if (!(PollOne(m_fd, POLLOUT, static_cast<int>(left)) & POLLOUT)) return false;
    }
    return true;
}

bool TcpSocket::WaitReadable(int timeoutMs) {
    if (m_fd < 0) return false;
    return (PollOne(m_fd, POLLIN, timeoutMs) & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::vector<std::uint8_t> TcpSocket::ReceiveAvailable(std::size_t limit, bool& closed) {
    closed = false;
    std::vector<std::uint8_t> out;
    if (m_fd < 0) {
        closed = true;
        return out;
    }
    out.resize(std::min(limit, kMaxReceive));
    for (;;) {
        const ssize_t n = ::recv(m_fd, out.data(), out.size(), MSG_DONTWAIT);
        if (n > 0) {
            out.resize(static_cast<std::size_t>(n));
            return out;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
        out.clear();
        return out;
    }
}

void TcpSocket::Drain() {
    bool closed = false;
    // Bounded: at most a few socket buffers' worth.
    for (int i = 0; i < 64; ++i)
        if (ReceiveAvailable(kMaxReceive, closed).empty()) return;
}

}  // namespace platform
