#pragma once
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/Socket.h"

// Polling helpers shared by the UDP families: every poll takes at most one
// datagram without blocking and every wait between polls stands for a 50 ms
// pause, so a search never blocks and never spins.
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

// The 50 ms pause after one poll. The pause is there for the next datagram:
// paced timing ends it once a datagram waits on the socket (original timing
// sits it out). After a poll that brought something other than what is
// awaited (`other`: a datagram not accepted, or a wake-up that left nothing
// for this interface), the pause is the full 50 ms in both timings, so a
// device that keeps sending other datagrams is polled at the old pace and the
// polls last as long as they always did. True when a datagram waits at the
// end of the pause. A write passes stoppable = false.
bool PauseAfterPoll(platform::UdpSocket& socket, bool other, bool stoppable = true);

// Tells from one poll's outcome whether the pause after it must be the full
// one: a datagram that was not accepted, or nothing at all although the last
// pause ended on a waiting datagram (it was another interface's, or an error
// report).
inline bool OtherThanAwaited(bool gotDatagram, bool accepted, bool wokeOnDatagram) {
    return (gotDatagram && !accepted) || (!gotDatagram && wokeOnDatagram);
}

// Polls up to `polls` times, pausing 50 ms (PauseAfterPoll) after each poll
// without an accepted datagram; the first accepted datagram, or none. Silence
// costs all the polls' pauses in both timings. A stop ends a stoppable poll
// loop; a write's (stoppable = false) runs to its end.
std::optional<platform::Datagram> PollForReply(platform::UdpSocket& socket, int polls, const Accept& accept,
                                               bool stoppable = true);

// Drops stale datagrams, sends `request` and polls for the accepted reply.
std::optional<platform::Datagram> Exchange(platform::UdpSocket& socket, std::span<const std::uint8_t> request,
                                           const std::string& address, std::uint16_t port, int polls,
                                           const Accept& accept, bool stoppable = true);

// Whether a device address that a reply names may become the destination of
// later requests from a socket on `localAddress` (broadcast enabled): only a
// single host, never "this network" (0/8), a multicast, reserved or broadcast
// address, the interface's own subnet broadcast or network address, nor a
// loopback address unless the interface itself is loopback.
bool IsUnicastDeviceAddress(std::uint32_t address, const std::string& localAddress);

// Largest transfer whose 16-bit word addresses do not wrap.
inline constexpr std::int32_t kMaxWordAddressedLength = 0x20000;

}  // namespace udpx
