#include "GostelProtocol.h"

#include <algorithm>
#include <cstdio>

namespace gostel {
namespace {

std::vector<std::uint8_t> Query(std::uint16_t command) {
    std::vector<std::uint8_t> f(kQuerySize, 0);
    std::fill_n(f.begin(), 6, 0xFF);
    wire::WriteU16Le(f, 6, command);
    wire::WriteU16Le(f, 8, 1);
    return f;
}

bool IsCommand(wire::Bytes reply, std::size_t size, std::uint16_t command) {
    return reply.size() == size && wire::ReadU16Le(reply, 6) == command;
}

}  // namespace

std::vector<std::uint8_t> DiscoveryRequest() { return Query(kCmdDiscover); }
std::vector<std::uint8_t> SlotTableRequest() { return Query(kCmdSlotTable); }

bool IsDiscoveryReply(wire::Bytes reply) { return IsCommand(reply, kDiscoveryReplySize, kCmdDiscover); }

std::optional<std::vector<SlotEntry>> ParseSlotTable(wire::Bytes reply) {
    if (!IsCommand(reply, kSlotTableReplySize, kCmdSlotTable)) return std::nullopt;
    std::vector<SlotEntry> entries;
    for (std::size_t i = 0; i < kSlots; ++i) {
        const std::size_t at = 16 + 8 * i;
        auto type = wire::ReadU16Le(reply, at);
        auto status = wire::ReadU16Le(reply, at + 2);
        if (!type || !status) break;
        entries.push_back({static_cast<std::uint8_t>(i), *type, *status});
    }
    return entries;
}

bool IsCardPresent(std::uint16_t status) { return status == 1 || status == 2; }

std::uint16_t SubCommand(std::uint16_t cardType, std::uint32_t mode, bool write) {
    if (cardType == kControllerType) return write ? 2 : 1;
    if (mode == kModeInitialize) return write ? 6 : 5;
    return write ? 4 : 3;
}

std::vector<std::uint8_t> EepromRequest(std::uint16_t subCommand, std::uint16_t slot, std::uint16_t wordAddress,
                                        std::uint16_t byteCount, wire::Bytes data) {
    std::vector<std::uint8_t> f(kEepromFrameSize, 0);
    wire::WriteU16Le(f, 6, kCmdEeprom);
    wire::WriteU16Le(f, 8, subCommand);
    wire::WriteU16Le(f, 10, slot);
    wire::WriteU16Le(f, 16, wordAddress);
    wire::WriteU16Le(f, 18, byteCount);
    std::copy_n(data.begin(), std::min(data.size(), kChunk), f.begin() + kDataOffset);
    return f;
}

bool IsEepromReply(wire::Bytes reply, std::uint16_t subCommand) {
    return IsCommand(reply, kEepromFrameSize, kCmdEeprom) && wire::ReadU16Le(reply, 8) == subCommand;
}

bool IsEepromReply(wire::Bytes reply, std::uint16_t subCommand, std::uint16_t wordAddress) {
    return IsEepromReply(reply, subCommand) && wire::ReadU16Le(reply, 16) == wordAddress;
}

std::optional<wire::Bytes> EepromData(wire::Bytes reply, std::uint16_t subCommand) {
    if (!IsEepromReply(reply, subCommand)) return std::nullopt;
    return reply.subspan(kDataOffset, kChunk);
}

std::string CardTypeText(std::uint16_t cardType) {
    char text[48];
    if (cardType == kControllerType) return "Gostel - 2160 Controller";
    if (cardType >= 0xA021 && cardType <= 0xA028) {
        std::snprintf(text, sizeof text, "Mervo GA-%u Traffic Card", cardType - 0xA020u);
        return text;
    }
    if (cardType == 0xB010) return "Mervo GB-10 Converter";
    if (cardType == 0xB012) return "Mervo GB-12 Converter";
    if (cardType >= 0xC022 && cardType <= 0xC028) {
        std::snprintf(text, sizeof text, "Mervo GC-%u Media Converter", cardType - 0xC020u);
        return text;
    }
    switch (cardType) {
    case 0xD001: return "";
    case 0xD022: return "10/100/1G RJ45/SFP";
    case 0xD023: return "10G SFP+/SFP+";
    case 0xD024: return "10G SFP+/XFP";
    case 0xD025: return "10G CX4/RJ45";
    case 0xD026: return "10G RJ45/SFP+";
    case 0xD027: return "10G XFP/XFP";
    case 0xD028: return "10G RJ45/XFP";
    default: return "Unknown";
    }
}

}  // namespace gostel
