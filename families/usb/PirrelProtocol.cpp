#include "PirrelProtocol.h"

#include <algorithm>

namespace pirrel {

std::size_t ChunkCount(std::int32_t length) {
    if (length <= 0) return 0;
    const auto n = static_cast<std::size_t>(length);
    return n / kChunkSize + (n % kChunkSize ? 1 : 0);
}

Chunk ChunkAt(std::int32_t length, std::size_t index) {
    const std::size_t offset = index * kChunkSize;
    return {static_cast<std::uint8_t>(offset % 256), offset,
            std::min(kChunkSize, static_cast<std::size_t>(length) - offset)};
}

Packet BuildRequest(std::uint8_t command, const Chunk& chunk, std::span<const std::uint8_t> data) {
    Packet p{};
    p[0] = command;
    p[1] = chunk.address;
    p[2] = static_cast<std::uint8_t>(chunk.length);
    const std::size_t n = std::min({data.size(), chunk.length, kPacketSize - kDataOffset});
    std::copy_n(data.begin(), n, p.begin() + kDataOffset);
    return p;
}

bool IsReply(const Packet& request, const Packet& reply, std::size_t received) {
    return received >= 1 && std::equal(request.begin(), request.begin() + kDataOffset, reply.begin());
}

std::span<const std::uint8_t> ReplyData(const Packet& reply, std::size_t length) {
    return std::span<const std::uint8_t>(reply).subspan(kDataOffset, std::min(length, kPacketSize - kDataOffset));
}

}  // namespace pirrel
