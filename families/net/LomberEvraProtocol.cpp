#include "LomberEvraProtocol.h"

#include <algorithm>

namespace lomber {
namespace {

constexpr std::uint8_t kMagic[4] = {'V', 'K', 'L', 'P'};

void PutU16(Dialect d, std::span<std::uint8_t> b, std::size_t offset, std::uint16_t v) {
    d == Dialect::Evra ? wire::WriteU16Be(b, offset, v) : wire::WriteU16Le(b, offset, v);
}

void PutU32(Dialect d, std::span<std::uint8_t> b, std::size_t offset, std::uint32_t v) {
    d == Dialect::Evra ? wire::WriteU32Be(b, offset, v) : wire::WriteU32Le(b, offset, v);
}

std::optional<std::uint16_t> GetU16(Dialect d, wire::Bytes b, std::size_t offset) {
    return d == Dialect::Evra ? wire::ReadU16Be(b, offset) : wire::ReadU16Le(b, offset);
}

}  // namespace

std::uint16_t DevicePort(Dialect dialect) { return dialect == Dialect::Evra ? kEvraPort : kKalderPort; }

std::size_t DiscoveryReplySize(Dialect dialect) {
    return dialect == Dialect::Evra ? kEvraDiscoveryReplySize : kKalderDiscoveryReplySize;
}

std::vector<std::uint8_t> Frame(Dialect dialect, std::uint16_t command, std::uint16_t word, std::size_t size) {
    std::vector<std::uint8_t> f(std::max(size, kHeaderSize), 0);
    // The magic is a 32-bit field too: "VKLP" read big-endian, "PLKV" on the
    // little-endian wire.
    PutU32(dialect, f, 0, (std::uint32_t{kMagic[0]} << 24) | (std::uint32_t{kMagic[1]} << 16) |
                              (std::uint32_t{kMagic[2]} << 8) | kMagic[3]);
    PutU32(dialect, f, 4, 1);
    PutU32(dialect, f, 8, 1);
    PutU32(dialect, f, 12, 0);
    PutU16(dialect, f, 16, command);
    PutU16(dialect, f, 18, word);
    f.resize(size);
    return f;
}

std::vector<std::uint8_t> DiscoveryRequest(Dialect dialect) {
    return Frame(dialect, kCmdDiscover, 0,
                 dialect == Dialect::Evra ? kEvraDiscoveryRequestSize : kKalderDiscoveryRequestSize);
}

bool IsReply(Dialect dialect, wire::Bytes reply, std::uint16_t command, std::size_t size) {
    if (reply.size() != size || size < 18) return false;
    const auto header = Frame(dialect, command, 0, kHeaderSize);
    if (!std::equal(header.begin(), header.begin() + 4, reply.begin())) return false;
    return GetU16(dialect, reply, 16) == command;
}

std::optional<std::uint32_t> DiscoveredAddress(Dialect dialect, wire::Bytes reply) {
    if (!IsReply(dialect, reply, kCmdDiscover, DiscoveryReplySize(dialect))) return std::nullopt;
    // Evra: bytes 28-31, most significant first; Kalder: bytes 26-29, least
    // significant first.
    return dialect == Dialect::Evra ? wire::ReadU32Be(reply, 28) : wire::ReadU32Le(reply, 26);
}

std::vector<std::uint8_t> EvraReadRequest() { return Frame(Dialect::Evra, kEvraCmdRead, 0, kEvraReadRequestSize); }

std::vector<std::uint8_t> EvraWriteRequest(wire::Bytes data) {
    auto f = Frame(Dialect::Evra, kEvraCmdWrite, 0, kEvraWriteRequestSize);
    const std::size_t n = std::min(data.size(), kImageBytes);
    std::copy_n(data.begin(), n, f.begin() + kHeaderSize);
    return f;
}

std::optional<wire::Bytes> EvraReadData(wire::Bytes reply) {
    if (!IsReply(Dialect::Evra, reply, kEvraCmdRead, kEvraReplySize)) return std::nullopt;
    return reply.subspan(kHeaderSize, kImageBytes);
}

bool IsEvraWriteReply(wire::Bytes reply) { return IsReply(Dialect::Evra, reply, kEvraCmdWrite, kEvraReplySize); }

std::vector<std::uint8_t> KalderReadRequest(std::uint16_t wordAddress, std::uint16_t wordCount) {
    auto f = Frame(Dialect::Kalder, kKalderCmdRead, wordAddress, kKalderRequestSize);
    wire::WriteU16Le(f, 20, wordCount);
    return f;
}

std::vector<std::uint8_t> KalderWriteRequest(std::uint16_t wordAddress, std::uint16_t wordCount, wire::Bytes data) {
    auto f = Frame(Dialect::Kalder, kKalderCmdWrite, wordAddress, kKalderRequestSize);
    wire::WriteU16Le(f, 20, wordCount);
    const std::size_t n = std::min(data.size(), kKalderRequestSize - kKalderDataOffset);
    std::copy_n(data.begin(), n, f.begin() + kKalderDataOffset);
    return f;
}

std::optional<wire::Bytes> KalderReadData(wire::Bytes reply) {
    if (!IsReply(Dialect::Kalder, reply, kKalderCmdRead, kKalderReadReplySize)) return std::nullopt;
    return reply.subspan(kKalderDataOffset, kKalderChunk);
}

std::optional<wire::Bytes> KalderReadData(wire::Bytes reply, std::uint16_t wordAddress) {
    if (wire::ReadU16Le(reply, 18) != wordAddress) return std::nullopt;
    return KalderReadData(reply);
}

bool IsKalderWriteReply(wire::Bytes reply) {
    return IsReply(Dialect::Kalder, reply, kKalderCmdWrite, kKalderWriteReplySize);
}

}  // namespace lomber
