#include "VornMessages.h"

#include <cstring>

namespace vorn {

std::optional<std::uint16_t> MessageCode(wire::Bytes message) {
    auto code = wire::ReadU16Be(message, 0);
    if (!code) return std::nullopt;
    return static_cast<std::uint16_t>(*code & 0x7FFF);
}

bool IsEepromReply(std::uint16_t code) {
    return code == kReadController || code == kWriteController || code == kReadCard || code == kWriteCard;
}

std::optional<SlotTable> ParseSlotTable(wire::Bytes message) {
    if (message.size() < kSlotTableSize) return std::nullopt;
    SlotTable table;
    std::memcpy(table.station.data(), message.data() + kStationOffset, table.station.size());
    for (std::size_t i = 0; i < kSlots; ++i) {
        const std::size_t entry = kEntriesOffset + kEntrySize * i;
        // The presence word is in the library's (host) byte order.
        std::uint32_t presence = 0;
        std::memcpy(&presence, message.data() + entry + kPresenceOffset, sizeof presence);
        if (presence == 1 || presence == 9)
            table.cards.push_back({static_cast<std::uint8_t>(i), *wire::ReadU16Be(message, entry)});
    }
    return table;
}

std::optional<wire::Bytes> ReplyData(wire::Bytes message, std::size_t count) {
    if (!wire::Has(message, kDataOffset, count)) return std::nullopt;
    return message.subspan(kDataOffset, count);
}

std::string CardTypeText(std::uint16_t cardType) {
    switch (cardType) {
    case kControllerType: return "Jessor Controller";
    case kNamedCardType: return "Jessor PoE-8 Card";
    default: return "Unknown";
    }
}

}  // namespace vorn
