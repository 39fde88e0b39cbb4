#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Non-blocking IPv4 sockets for the network families. Nothing here blocks
// beyond the limit its caller gives.
namespace platform {

// "%u.%u.%u.%u", most significant byte first, from an address in host order.
std::string FormatIpv4(std::uint32_t address);
// Strict dotted-quad text to an address in host order.
std::optional<std::uint32_t> ParseIpv4(const std::string& text);

// IPv4 addresses of the host's up, non-loopback interfaces, in interface order.
std::vector<std::string> LocalIPv4Addresses();

// The netmask (host order) of the interface that holds this local address,
// or nothing when no interface holds it.
std::optional<std::uint32_t> NetmaskOf(const std::string& localAddress);

struct Datagram {
    std::vector<std::uint8_t> bytes;  // the whole datagram as it arrived
    std::string sender;               // dotted sender address
    std::uint16_t senderPort = 0;
};

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // A datagram socket of the interface that holds `localAddress`, on any
    // port; closes what was open before. It sends from that address through
    // that interface and hears what arrives on that interface for its port:
    // unicast replies and replies sent to the limited or the subnet broadcast
    // address alike (a socket bound to a unicast address would hear no
    // broadcast on Linux). False when no interface holds the address.
    bool Create(const std::string& localAddress);
    bool EnableBroadcast();
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // The socket's descriptor for readiness waits (-1 when closed); the
    // socket keeps owning it.
    int Descriptor() const { return m_fd; }

    bool SendTo(std::span<const std::uint8_t> data, const std::string& address, std::uint16_t port);
    // One waiting datagram that came in on the socket's interface, or none at
    // once when nothing is there.
    std::optional<Datagram> ReceiveFrom();

private:
    int m_fd = -1;
    std::uint32_t m_local = 0;  // host order
    int m_ifindex = 0;
};

class TcpSocket {
public:
    // Largest block taken off the socket by one Receive.
    static constexpr std::size_t kMaxReceive = 65536;

    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Creates a stream socket with TCP_NODELAY and starts a non-blocking
    // connect; false when the socket cannot be made or the address is bad.
    bool StartConnect(const std::string& address, std::uint16_t port);
    // Waits up to timeoutMs for the connect started above; true once connected.
    bool WaitConnected(int timeoutMs);
    // Waits up to timeoutMs for the connect started above to end, either way
    // (connected, refused or failed); WaitConnected(0) then tells which.
    // False while it is still going on, and when no socket is open.
    bool ConnectEnded(int timeoutMs);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // The socket's descriptor for readiness waits (-1 when closed); the
    // socket keeps owning it.
    int Descriptor() const { return m_fd; }

    // Sends all bytes, waiting at most timeoutMs for room in the send buffer.
    bool Send(std::span<const std::uint8_t> data, int timeoutMs = 1000);
    // True when data (or the end of the stream) is waiting within timeoutMs.
    bool WaitReadable(int timeoutMs);
    // What is waiting now, at most `limit` bytes, without blocking; empty when
    // nothing is there. Sets `closed` when the peer ended the stream or failed.
    std::vector<std::uint8_t> ReceiveAvailable(std::size_t limit, bool& closed);
    // Throws away whatever is waiting.
    void Drain();

private:
    int m_fd = -1;
};

}  // namespace platform
