#include "NesbinFrames.h"

#include <algorithm>

#include "families/net/WireBytes.h"

namespace nesbin {
namespace {

std::vector<std::uint8_t> Header(const Mac& destination, const Mac& source, std::uint8_t group, std::uint8_t command,
                                 std::uint32_t payloadLength, std::size_t frameLength) {
    std::vector<std::uint8_t> f(frameLength, 0);
    std::copy(destination.begin(), destination.end(), f.begin());
    std::copy(source.begin(), source.end(), f.begin() + 6);
    f[12] = 0x08;
    f[13] = 0x06;
    f[14] = 'C';
    f[15] = 'X';
    f[18] = group;
    f[19] = command;
    wire::WriteU32Be(f, 20, payloadLength);
    return f;
}

}  // namespace

std::vector<std::uint8_t> DiscoveryRequest(const Mac& source) {
    return Header(kBroadcast, source, kDiscoverGroup, kDiscoverCommand, 4, 32);
}

std::vector<std::uint8_t> ReadRequest(const Mac& instrument, const Mac& source, std::uint16_t address,
                                      std::uint16_t length) {
    auto f = Header(instrument, source, kEepromGroup, kReadCommand, 4, 32);
    wire::WriteU16Be(f, 24, address);
    wire::WriteU16Be(f, 26, length);
    return f;
}

std::optional<std::vector<std::uint8_t>> WriteRequest(const Mac& instrument, const Mac& source, std::uint16_t address,
                                                      Bytes data) {
    if (data.size() > kMaxBlock) return std::nullopt;
    auto f = Header(instrument, source, kEepromGroup, kWriteCommand, static_cast<std::uint32_t>(4 + data.size()),
                    30 + data.size());
    wire::WriteU16Be(f, 24, address);
    wire::WriteU16Be(f, 26, static_cast<std::uint16_t>(data.size()));
    std::copy(data.begin(), data.end(), f.begin() + 28);
    return f;
}

std::vector<std::uint8_t> Padded(Bytes frame) {
    std::vector<std::uint8_t> f(frame.begin(), frame.end());
    if (f.size() < kMinFrame) f.resize(kMinFrame, 0);
    return f;
}

Bytes Bounded(Bytes captured) { return captured.first(std::min(captured.size(), kCopyBound)); }

bool IsReply(Bytes frame, std::uint8_t group, std::uint8_t command) {
    if (!wire::Has(frame, 12, 8)) return false;
    return frame[12] == 0x08 && frame[13] == 0x06 && frame[14] == 'C' && frame[15] == 'X' && frame[16] == 0 &&
           frame[17] == 1 && frame[18] == group && frame[19] == command;
}

std::optional<Mac> DiscoveredMac(Bytes frame) {
    if (!IsReply(frame, kDiscoverGroup, kDiscoverCommand) || !wire::Has(frame, 24, 6)) return std::nullopt;
    Mac m{};
    std::copy_n(frame.begin() + 24, 6, m.begin());
    return m;
}

std::optional<Bytes> ReadData(Bytes frame, std::size_t length) {
    if (!IsReply(frame, kEepromGroup, kReadCommand) || !wire::Has(frame, kReadDataOffset, length)) return std::nullopt;
    return frame.subspan(kReadDataOffset, length);
}

}  // namespace nesbin
