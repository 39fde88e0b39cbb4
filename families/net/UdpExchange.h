#pragma once
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/Socket.h"

// Polling helpers shared by the UDP families: every poll takes at most one
// datagram without blocking and every wait between polls is a 50 ms pumping
// wait, so a search never blocks and never spins.
namespace udpx {

inline constexpr int kPollPauseMs = 50;
inline constexpr const char* kBroadcast = "255.255.255.255";
// Upper bound on the polls of one discovery cycle: a cycle normally ends after
// a few misses in a row, but a device (or a flood) that keeps answering must
// not keep the search going for ever.
inline constexpr int kMaxDiscoveryPolls = 400;

using Accept = std::function<bool(const platform::Datagram&)>;

// Throws away datagrams that arrived before a request is sent (late answers
// to an earlier request), at most a bounded number.
void DropStale(platform::UdpSocket& socket);

// Polls up to `polls` times, waiting 50 ms after each poll without an accepted
// datagram; the first accepted datagram, or none.
std::optional<platform::Datagram> PollForReply(platform::UdpSocket& socket, int polls, const Accept& accept);

// Drops stale datagrams, sends `request` and polls for the accepted reply.
std::optional<platform::Datagram> Exchange(platform::UdpSocket& socket, std::span<const std::uint8_t> request,
                                           const std::string& address, std::uint16_t port, int polls,
                                           const Accept& accept);

// Whether a device address that a reply names may become the destination of
// later requests from a socket on `localAddress` (broadcast enabled): only a
// single host, never "this network" (0/8), a multicast, reserved or broadcast
// address, the interface's own subnet broadcast or network address, nor a
// loopback address unless the interface itself is loopback.
bool IsUnicastDeviceAddress(std::uint32_t address, const std::string& localAddress);

// Largest transfer whose 16-bit word addresses do not wrap.
inline constexpr std::int32_t kMaxWordAddressedLength = 0x20000;

}  // namespace udpx
