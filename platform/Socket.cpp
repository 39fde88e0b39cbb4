#include "Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
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

bool UdpSocket::Create(const std::string& localAddress) {
    Close();
    sockaddr_in local{};
    if (!MakeAddress(localAddress, 0, local)) return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool UdpSocket::EnableBroadcast() {
    const int on = 1;
    return m_fd >= 0 && ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool UdpSocket::SendTo(std::span<const std::uint8_t> data, const std::string& address, std::uint16_t port) {
    sockaddr_in to{};
    if (m_fd < 0 || !MakeAddress(address, port, to)) return false;
    const ssize_t n = ::sendto(m_fd, data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                               sizeof to);
    return n == static_cast<ssize_t>(data.size());
}

std::optional<Datagram> UdpSocket::ReceiveFrom() {
    if (m_fd < 0) return std::nullopt;
    // A UDP datagram never exceeds 65535 bytes, so it always arrives whole.
    std::vector<std::uint8_t> buffer(65536);
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    for (;;) {
        const ssize_t n = ::recvfrom(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Nothing waiting, or an error report (an ICMP unreachable from an
            // earlier send): no datagram this time.
            return std::nullopt;
        }
        Datagram d;
        buffer.resize(static_cast<std::size_t>(n));
        d.bytes = std::move(buffer);
        d.sender = FormatIpv4(ntohl(from.sin_addr.s_addr));
        d.senderPort = ntohs(from.sin_port);
        return d;
    }
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
