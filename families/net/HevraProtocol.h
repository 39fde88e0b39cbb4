#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "WireBytes.h"

// The Hevra-5160 chassis protocol: a 192-byte UDP discovery packet on port
// 8000 with the "quenlor" magic and a CRC-16, then 100-byte requests (1060
// for writes) over TCP port 8001, multi-byte fields big-endian. Pure encoding
// and recognition, no I/O.
namespace hevra {

inline constexpr std::uint16_t kDiscoveryPort = 8000;
inline constexpr std::uint16_t kTcpPort = 8001;

inline constexpr std::size_t kDiscoverySize = 192;
inline constexpr std::size_t kRequestSize = 100;
inline constexpr std::size_t kWriteRequestSize = 1060;
inline constexpr std::size_t kDataOffset = 32;
inline constexpr std::size_t kReceiveLimit = 2536;
inline constexpr std::size_t kChunk = 256;
inline constexpr std::size_t kSlots = 16;

inline constexpr std::uint16_t kControllerType = 0x1428;
inline constexpr std::uint16_t kCardType = 0xD001;

inline constexpr std::uint16_t kIdentify = 0x80FD;
inline constexpr std::uint16_t kSlotTable = 0x00C1;
inline constexpr std::uint16_t kReadController = 0x00C2;
inline constexpr std::uint16_t kWriteController = 0x00C3;
inline constexpr std::uint16_t kReadCard = 0x00E0;
inline constexpr std::uint16_t kWriteCard = 0x00E1;

// CRC-16 with the CCITT polynomial 0x1021, most significant bit first,
// initial value 0, no reflection, no final XOR.
std::uint16_t Crc16Ccitt(wire::Bytes data);

std::vector<std::uint8_t> DiscoveryPacket();
// Exactly 192 bytes, the magic, and a CRC over bytes 0-27 matching bytes 28-29.
bool IsDiscoveryReply(wire::Bytes reply);

// The code a reply to a request carries (the identify code answers itself).
std::uint16_t ReplyCode(std::uint16_t requestCode);
std::optional<std::uint16_t> CodeOf(wire::Bytes reply);

using Station = std::array<std::uint8_t, 6>;
struct Identity {
    std::uint16_t chassisId = 0;
    Station station{};
};

std::vector<std::uint8_t> IdentifyRequest();
// Needs the reply code and every byte up to the station identity.
std::optional<Identity> ParseIdentifyReply(wire::Bytes reply);

std::vector<std::uint8_t> SlotTableRequest(const Identity& identity);
struct SlotEntry {
    std::uint8_t slot;
    std::uint16_t cardType;
    std::uint32_t presence;
};
// The slot entries that arrived whole, or nothing when the code is wrong.
std::optional<std::vector<SlotEntry>> ParseSlotTable(wire::Bytes reply);
// True when the bytes of a slot-table reply end exactly after a whole slot
// entry (or hold the full table): nothing of an entry is missing.
bool HoldsWholeSlotEntries(wire::Bytes reply);
// Presence 1 or 9: a card is in the slot.
bool IsCardPresent(std::uint32_t presence);

// An EEPROM chunk request: controller codes carry no slot.
std::uint16_t EepromCode(std::uint16_t cardType, bool write);
std::vector<std::uint8_t> EepromRequest(std::uint16_t cardType, bool write, const Station& station, std::uint8_t slot,
                                        std::uint16_t wordAddress, std::uint16_t byteCount, wire::Bytes data = {});

// How many bytes a reply needs before it can be judged complete.
std::size_t NeededReplyLength(std::uint16_t requestCode, std::uint16_t byteCount);
// Gathers one reply from what the TCP stream delivers: appends `segment` to
// `pending` (never past kReceiveLimit bytes). A reply that starts with another
// code is dropped whole (it answers an earlier request). Complete once
// `needed` bytes, or the limit, have arrived.
enum class Gathered { NeedMore, Complete, Dropped };
Gathered GatherReply(std::vector<std::uint8_t>& pending, wire::Bytes segment, std::uint16_t expected,
                     std::size_t needed);

// The chunk's data of a read reply: the code must match and the reply must
// hold at least 256 bytes and the whole chunk from byte 32.
std::optional<wire::Bytes> ReadReplyData(wire::Bytes reply, std::uint16_t requestCode, std::uint16_t byteCount);

std::string CardTypeText(std::uint16_t cardType);

}  // namespace hevra
