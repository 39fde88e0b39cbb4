#include "TavikChunks.h"

namespace tavikchunks {

std::vector<Chunk> Plan(std::int32_t length) {
    std::vector<Chunk> chunks;
    if (length < 1) return chunks;
    const auto total = static_cast<std::uint32_t>(length);
    for (std::uint32_t offset = 0; offset < total; offset += kChunkSize) {
        const std::uint32_t left = total - offset;
        chunks.push_back({offset, left < kChunkSize ? left : static_cast<std::uint32_t>(kChunkSize)});
    }
    return chunks;
}

}  // namespace tavikchunks
