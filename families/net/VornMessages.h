#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "WireBytes.h"

// Call-back messages of the Vorn-API library, as the Jessor family reads
// them: pure recognition over the bytes the library handed over, bounded by
// the length it gave.
namespace vorn {

inline constexpr std::uint16_t kSlotTable = 0xC1;
inline constexpr std::uint16_t kReadController = 0xC2;
inline constexpr std::uint16_t kWriteController = 0xC3;
inline constexpr std::uint16_t kReadCard = 0xE0;
inline constexpr std::uint16_t kWriteCard = 0xE1;

inline constexpr std::size_t kStationOffset = 24;
inline constexpr std::size_t kEntriesOffset = 108;
inline constexpr std::size_t kEntrySize = 64;
inline constexpr std::size_t kSlots = 16;
inline constexpr std::size_t kPresenceOffset = 56;
inline constexpr std::size_t kSlotTableSize = kEntriesOffset + kEntrySize * kSlots;
inline constexpr std::size_t kDataOffset = 36;
inline constexpr std::size_t kMaxTransfer = 1024;

inline constexpr std::uint16_t kControllerType = 0x1A0E;
inline constexpr std::uint16_t kNamedCardType = 0xE001;
inline constexpr std::uint8_t kControllerSlot = 0xFF;

// The big-endian code at bytes 0-1 with its top bit cleared.
std::optional<std::uint16_t> MessageCode(wire::Bytes message);
bool IsEepromReply(std::uint16_t code);

struct Card {
    std::uint8_t slot;
    std::uint16_t cardType;
};
struct SlotTable {
    std::array<std::uint8_t, 6> station{};
    std::vector<Card> cards;  // present cards (presence 1 or 9), by slot
};
// Nothing when the message is shorter than its last entry.
std::optional<SlotTable> ParseSlotTable(wire::Bytes message);

// `count` data bytes of an EEPROM reply, from byte 36; nothing when fewer came.
std::optional<wire::Bytes> ReplyData(wire::Bytes message, std::size_t count);

// Text of a card type as the card dialog and the module list show it.
std::string CardTypeText(std::uint16_t cardType);

}  // namespace vorn
