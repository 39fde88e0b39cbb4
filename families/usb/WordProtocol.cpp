#include "WordProtocol.h"

#include <algorithm>

namespace wordproto {
namespace {
void PutU16Le(echo::Report& r, std::size_t at, std::uint16_t v) {
    r[at] = static_cast<std::uint8_t>(v);
    r[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
}  // namespace

std::size_t ChunkCount(std::int32_t length) {
    if (length <= 0) return 0;
    const auto n = static_cast<std::size_t>(length);
    return n / kChunkSize + (n % kChunkSize ? 1 : 0);
}

Chunk ChunkAt(std::int32_t length, std::size_t index) {
    const auto total = static_cast<std::size_t>(length);
    const std::size_t offset = index * kChunkSize;
    const std::size_t chunkLength = std::min(kChunkSize, total - offset);
    // An odd length still needs its last byte: the covering word is asked for.
    return {static_cast<std::uint32_t>(offset), offset, chunkLength, static_cast<std::uint16_t>(offset / 2),
            static_cast<std::uint16_t>((chunkLength + 1) / 2)};
}

echo::Report BuildRequest(std::uint8_t command, const Chunk& chunk, std::span<const std::uint8_t> data) {
    echo::Report r{};
    r[0] = command;
    r[1] = 0;
    PutU16Le(r, 2, chunk.wordAddress);
    PutU16Le(r, 4, chunk.wordCount);
    const std::size_t n = std::min({data.size(), chunk.length, echo::kReportSize - kDataOffset});
    std::copy_n(data.begin(), n, r.begin() + kDataOffset);
    return r;
}

bool IsReply(std::uint8_t command, const echo::Report& reply, std::size_t received) {
    return received >= 1 && reply[0] == static_cast<std::uint8_t>(command + kReplyFlag);
}

std::span<const std::uint8_t> ReplyData(const echo::Report& reply, std::size_t length) {
    return std::span<const std::uint8_t>(reply).subspan(kDataOffset,
                                                        std::min(length, echo::kReportSize - kDataOffset));
}

}  // namespace wordproto
