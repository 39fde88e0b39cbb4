#pragma once
#include <cstdint>
#include <vector>

// How a traffic generator's configuration EEPROM is moved through the device
// library: pieces of at most 58 bytes, the last one shorter.
namespace tavikchunks {

inline constexpr std::int32_t kChunkSize = 58;

struct Chunk {
    std::uint32_t offset;  // byte offset in the EEPROM and in the caller's buffer
    std::uint32_t size;    // bytes in this chunk
};

// The chunks of a transfer of `length` bytes; none for a length below 1.
std::vector<Chunk> Plan(std::int32_t length);

}  // namespace tavikchunks
