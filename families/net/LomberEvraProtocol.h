#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "WireBytes.h"

// The UDP EEPROM protocol shared by the Evra traffic generator and the Kalder
// media-converter chassis: a 20-byte header ("VKLP" magic, three 32-bit
// words, command, word address) in big-endian order for Evra and
// little-endian order for Kalder. Pure encoding and recognition, no I/O.
namespace lomber {

enum class Dialect { Evra, Kalder };

inline constexpr std::size_t kHeaderSize = 20;
inline constexpr std::size_t kImageBytes = 256;

inline constexpr std::uint16_t kEvraPort = 5006;
inline constexpr std::uint16_t kKalderPort = 5016;

inline constexpr std::uint16_t kCmdDiscover = 1;
inline constexpr std::uint16_t kEvraCmdRead = 14;
inline constexpr std::uint16_t kEvraCmdWrite = 15;
inline constexpr std::uint16_t kKalderCmdRead = 2;
inline constexpr std::uint16_t kKalderCmdWrite = 3;

inline constexpr std::size_t kEvraDiscoveryRequestSize = 28;
inline constexpr std::size_t kEvraDiscoveryReplySize = 96;
inline constexpr std::size_t kEvraReadRequestSize = 20;
inline constexpr std::size_t kEvraReplySize = 276;  // read and write replies
inline constexpr std::size_t kEvraWriteRequestSize = 276;

inline constexpr std::size_t kKalderDiscoveryRequestSize = 26;
inline constexpr std::size_t kKalderDiscoveryReplySize = 94;
inline constexpr std::size_t kKalderRequestSize = 278;  // read and write requests
inline constexpr std::size_t kKalderReadReplySize = 278;
inline constexpr std::size_t kKalderWriteReplySize = 18;
inline constexpr std::size_t kKalderDataOffset = 22;
inline constexpr std::size_t kKalderChunk = 256;

std::uint16_t DevicePort(Dialect dialect);
std::size_t DiscoveryReplySize(Dialect dialect);

// A zero-filled frame of `size` bytes starting with the dialect's header.
std::vector<std::uint8_t> Frame(Dialect dialect, std::uint16_t command, std::uint16_t word, std::size_t size);

std::vector<std::uint8_t> DiscoveryRequest(Dialect dialect);

// True when the reply is exactly `size` bytes with the dialect's magic and
// the given command.
bool IsReply(Dialect dialect, wire::Bytes reply, std::uint16_t command, std::size_t size);

// The device address (host order) of an accepted discovery reply.
std::optional<std::uint32_t> DiscoveredAddress(Dialect dialect, wire::Bytes reply);

// Evra: the whole 256-byte image in one request and one reply.
std::vector<std::uint8_t> EvraReadRequest();
// Always 256 data bytes: the first 256 of `data`, zero-filled when it is shorter.
std::vector<std::uint8_t> EvraWriteRequest(wire::Bytes data);
// The 256 image bytes of an accepted read reply.
std::optional<wire::Bytes> EvraReadData(wire::Bytes reply);
bool IsEvraWriteReply(wire::Bytes reply);

// Kalder: chunks of at most 256 bytes addressed in 16-bit words.
std::vector<std::uint8_t> KalderReadRequest(std::uint16_t wordAddress, std::uint16_t wordCount);
// Carries at most 256 bytes of `data` from byte 22.
std::vector<std::uint8_t> KalderWriteRequest(std::uint16_t wordAddress, std::uint16_t wordCount, wire::Bytes data);
// The 256 data bytes of an accepted read reply.
std::optional<wire::Bytes> KalderReadData(wire::Bytes reply);
// The same, only when the reply names the word address asked for (a late
// reply to another chunk is not this chunk's data).
std::optional<wire::Bytes> KalderReadData(wire::Bytes reply, std::uint16_t wordAddress);
bool IsKalderWriteReply(wire::Bytes reply);

}  // namespace lomber
