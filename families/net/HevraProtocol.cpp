#include "HevraProtocol.h"

#include <algorithm>
#include <cstring>

namespace hevra {
namespace {
constexpr char kMagic[] = "quenlor";
constexpr std::size_t kMagicLength = 7;
constexpr std::size_t kCrcSpan = 28;
constexpr std::size_t kIdentityEnd = 26;  // the station identity ends before byte 26
constexpr std::size_t kSlotTypeBase = 104;
constexpr std::size_t kSlotPresenceBase = 152;
constexpr std::size_t kSlotStride = 52;
}  // namespace

std::uint16_t Crc16Ccitt(wire::Bytes data) {
    std::uint16_t crc = 0;
    for (auto byte : data) {
        crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::vector<std::uint8_t> DiscoveryPacket() {
    std::vector<std::uint8_t> p(kDiscoverySize, 0);
    std::memcpy(p.data(), kMagic, kMagicLength);
    p[7] = 0x20;
    p[8] = 0x00;
    p[9] = 0xFA;
    p[14] = 0xCC;
    p[15] = 0x01;
    wire::WriteU16Be(p, kCrcSpan, Crc16Ccitt(wire::Bytes(p).first(kCrcSpan)));
    return p;
}

bool IsDiscoveryReply(wire::Bytes reply) {
    if (reply.size() != kDiscoverySize) return false;
    if (std::memcmp(reply.data(), kMagic, kMagicLength) != 0) return false;
    return wire::ReadU16Be(reply, kCrcSpan) == Crc16Ccitt(reply.first(kCrcSpan));
}

std::uint16_t ReplyCode(std::uint16_t requestCode) { return static_cast<std::uint16_t>(requestCode | 0x8000); }

std::optional<std::uint16_t> CodeOf(wire::Bytes reply) { return wire::ReadU16Be(reply, 0); }

std::vector<std::uint8_t> IdentifyRequest() {
    std::vector<std::uint8_t> r(kRequestSize, 0);
    wire::WriteU16Be(r, 0, kIdentify);
    r[19] = 0xFF;
    return r;
}

std::optional<Identity> ParseIdentifyReply(wire::Bytes reply) {
    if (CodeOf(reply) != ReplyCode(kIdentify) || reply.size() < kIdentityEnd) return std::nullopt;
    Identity id;
    id.chassisId = *wire::ReadU16Be(reply, 2);
    std::copy_n(reply.begin() + 20, id.station.size(), id.station.begin());
    return id;
}

std::vector<std::uint8_t> SlotTableRequest(const Identity& identity) {
    std::vector<std::uint8_t> r(kRequestSize, 0);
    wire::WriteU16Be(r, 0, kSlotTable);
    wire::WriteU16Be(r, 2, identity.chassisId);
    wire::WriteU16Be(r, 12, 0xD001);
    std::copy(identity.station.begin(), identity.station.end(), r.begin() + 20);
    return r;
}

std::optional<std::vector<SlotEntry>> ParseSlotTable(wire::Bytes reply) {
    if (CodeOf(reply) != ReplyCode(kSlotTable)) return std::nullopt;
    std::vector<SlotEntry> entries;
    for (std::size_t i = 0; i < kSlots; ++i) {
        auto type = wire::ReadU16Be(reply, kSlotTypeBase + kSlotStride * i);
        auto presence = wire::ReadU32Le(reply, kSlotPresenceBase + kSlotStride * i);
        if (!type || !presence) break;  // the rest of the table did not arrive
        entries.push_back({static_cast<std::uint8_t>(i), *type, *presence});
    }
    return entries;
}

bool HoldsWholeSlotEntries(wire::Bytes reply) {
    // Entry i ends with its presence value at kSlotPresenceBase + 52 i + 4.
    const std::size_t firstEnd = kSlotPresenceBase + 4;
    if (reply.size() < kSlotTypeBase) return false;
    if (reply.size() < firstEnd) return reply.size() == kSlotTypeBase;  // a table of no entries
    return (reply.size() - firstEnd) % kSlotStride == 0 || reply.size() >= firstEnd + kSlotStride * (kSlots - 1);
}

bool IsCardPresent(std::uint32_t presence) { return presence == 1 || presence == 9; }

std::uint16_t EepromCode(std::uint16_t cardType, bool write) {
    if (cardType == kControllerType) return write ? kWriteController : kReadController;
    return write ? kWriteCard : kReadCard;
}

std::vector<std::uint8_t> EepromRequest(std::uint16_t cardType, bool write, const Station& station, std::uint8_t slot,
                                        std::uint16_t wordAddress, std::uint16_t byteCount, wire::Bytes data) {
    std::vector<std::uint8_t> r(write ? kWriteRequestSize : kRequestSize, 0);
    wire::WriteU16Be(r, 0, EepromCode(cardType, write));
    std::copy(station.begin(), station.end(), r.begin() + 20);
    if (cardType != kControllerType) r[26] = slot;
    wire::WriteU16Be(r, 28, wordAddress);
    wire::WriteU16Be(r, 30, byteCount);
    if (write) std::copy_n(data.begin(), std::min(data.size(), r.size() - kDataOffset), r.begin() + kDataOffset);
    return r;
}

Gathered GatherReply(std::vector<std::uint8_t>& pending, wire::Bytes segment, std::uint16_t expected,
                     std::size_t needed) {
    const std::size_t room = pending.size() < kReceiveLimit ? kReceiveLimit - pending.size() : 0;
    pending.insert(pending.end(), segment.begin(), segment.begin() + static_cast<std::ptrdiff_t>(std::min(room, segment.size())));
    const auto code = CodeOf(pending);
    if (!code) return Gathered::NeedMore;  // one byte so far
    if (*code != expected) {
        pending.clear();
        return Gathered::Dropped;
    }
    return pending.size() >= needed || pending.size() >= kReceiveLimit ? Gathered::Complete : Gathered::NeedMore;
}

std::size_t NeededReplyLength(std::uint16_t requestCode, std::uint16_t byteCount) {
    switch (requestCode) {
    case kIdentify: return kIdentityEnd;
    case kSlotTable: return kSlotPresenceBase + kSlotStride * (kSlots - 1) + 4;
    case kReadController:
    case kReadCard: return std::max<std::size_t>(kChunk, kDataOffset + byteCount);
    default: return 2;
    }
}

std::optional<wire::Bytes> ReadReplyData(wire::Bytes reply, std::uint16_t requestCode, std::uint16_t byteCount) {
    if (CodeOf(reply) != ReplyCode(requestCode)) return std::nullopt;
    // Whatever the code, never past what arrived.
    if (reply.size() < NeededReplyLength(requestCode, byteCount) || reply.size() < kDataOffset + byteCount)
        return std::nullopt;
    return reply.subspan(kDataOffset, byteCount);
}

std::string CardTypeText(std::uint16_t cardType) {
    switch (cardType) {
    case kControllerType: return "Hevra - 5160 Controller";
    case kCardType: return "Hevra HC-1 Port Card";
    default: return "Unknown";
    }
}

}  // namespace hevra
