#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Nesbin raw Ethernet frames, as pure functions over byte spans. All
// multi-byte fields big-endian:
//   0-5 destination, 6-11 source, 12-13 0x08 0x06, 14-15 "CX",
//   16-17 0 (request) / 1 (reply), 18 group, 19 command,
//   20-23 payload length, 24- payload.
// Discovery (7,5): payload length 4, bytes 24-31 zero; the reply carries the
//   instrument's MAC at 24-29.
// Read (8,1): address at 24-25, length at 26-27; the reply carries the data from 28.
// Write (8,2): address, length, data from 28; the frame is 30 + data bytes;
//   a reply with the right header acknowledges it.
// Requests shorter than 60 bytes are padded with zeros to 60.
namespace nesbin {

using Mac = std::array<std::uint8_t, 6>;
using Bytes = std::span<const std::uint8_t>;

inline constexpr std::uint8_t kDiscoverGroup = 7, kDiscoverCommand = 5;
inline constexpr std::uint8_t kEepromGroup = 8, kReadCommand = 1, kWriteCommand = 2;
inline constexpr std::size_t kMinFrame = 60;
inline constexpr std::size_t kCopyBound = 1048;  // bytes of a captured frame looked at
inline constexpr std::size_t kMaxBlock = 256;    // data bytes in one request
inline constexpr std::size_t kReadDataOffset = 28;
inline constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::vector<std::uint8_t> DiscoveryRequest(const Mac& source);
std::vector<std::uint8_t> ReadRequest(const Mac& instrument, const Mac& source, std::uint16_t address,
                                      std::uint16_t length);
// None when the data is longer than one request carries.
std::optional<std::vector<std::uint8_t>> WriteRequest(const Mac& instrument, const Mac& source, std::uint16_t address,
                                                      Bytes data);
// The frame as it goes on the wire: padded with zeros to 60 bytes.
std::vector<std::uint8_t> Padded(Bytes frame);

// The part of a captured frame that is looked at: at most 1048 bytes.
Bytes Bounded(Bytes captured);
// Bytes 12-19 are the reply pattern of this group and command.
bool IsReply(Bytes frame, std::uint8_t group, std::uint8_t command);
// The instrument's MAC from a discovery reply.
std::optional<Mac> DiscoveredMac(Bytes frame);
// `length` data bytes of a read reply, when that many arrived.
std::optional<Bytes> ReadData(Bytes frame, std::size_t length);

}  // namespace nesbin
