#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "WireBytes.h"

// The Gostel-2160 chassis protocol over UDP port 8888: discovery, slot
// table and EEPROM access, 16-bit fields little-endian, no magic. Pure
// encoding and recognition, no I/O.
namespace gostel {

inline constexpr std::uint16_t kPort = 8888;

inline constexpr std::uint16_t kCmdDiscover = 3;
inline constexpr std::uint16_t kCmdSlotTable = 6;
inline constexpr std::uint16_t kCmdEeprom = 14;

inline constexpr std::size_t kQuerySize = 16;  // discovery and slot-table requests
inline constexpr std::size_t kDiscoveryReplySize = 112;
inline constexpr std::size_t kSlotTableReplySize = 144;
inline constexpr std::size_t kEepromFrameSize = 276;  // EEPROM requests and replies
inline constexpr std::size_t kDataOffset = 20;
inline constexpr std::size_t kChunk = 256;
inline constexpr std::size_t kSlots = 16;

inline constexpr std::uint16_t kControllerType = 0x2160;

// Operation modes of a card transfer.
inline constexpr std::uint32_t kModeInitialize = 0;
inline constexpr std::uint32_t kModeModify = 1;

std::vector<std::uint8_t> DiscoveryRequest();
std::vector<std::uint8_t> SlotTableRequest();

bool IsDiscoveryReply(wire::Bytes reply);

struct SlotEntry {
    std::uint8_t slot;
    std::uint16_t cardType;
    std::uint16_t status;
};
// The sixteen entries of an accepted slot-table reply, or nothing.
std::optional<std::vector<SlotEntry>> ParseSlotTable(wire::Bytes reply);
// Status 1 or 2: a card is in the slot.
bool IsCardPresent(std::uint16_t status);

// The EEPROM sub-command for a target and mode.
std::uint16_t SubCommand(std::uint16_t cardType, std::uint32_t mode, bool write);
// An EEPROM request; a write carries at most 256 bytes of `data` from byte 20.
std::vector<std::uint8_t> EepromRequest(std::uint16_t subCommand, std::uint16_t slot, std::uint16_t wordAddress,
                                        std::uint16_t byteCount, wire::Bytes data = {});
// Exactly 276 bytes, command 14 and the request's sub-command.
bool IsEepromReply(wire::Bytes reply, std::uint16_t subCommand);
// The same, and the reply names the request's start word address (bytes
// 16-17): a late reply to another chunk is not taken for this one.
bool IsEepromReply(wire::Bytes reply, std::uint16_t subCommand, std::uint16_t wordAddress);
// The 256 data bytes of an accepted read reply.
std::optional<wire::Bytes> EepromData(wire::Bytes reply, std::uint16_t subCommand);

// Text of a card type as the card-selection dialog shows it.
std::string CardTypeText(std::uint16_t cardType);

}  // namespace gostel
