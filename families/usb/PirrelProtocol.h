#pragma once
#include <array>
#include <cstdint>
#include <span>

// The Pirrel's 128-byte USBXpress packets: byte 0 the command ('&' read,
// '%' write), byte 1 the start address, byte 2 the length (1 to 124), a
// write's data from byte 3. The reply repeats bytes 0-2; a read reply carries
// the data from byte 3. Pure encoding and recognition, no I/O.
namespace pirrel {

inline constexpr std::size_t kPacketSize = 128;
inline constexpr std::size_t kChunkSize = 124;
inline constexpr std::size_t kDataOffset = 3;
inline constexpr std::uint8_t kRead = 0x26;
inline constexpr std::uint8_t kWrite = 0x25;
using Packet = std::array<std::uint8_t, kPacketSize>;

struct Chunk {
    std::uint8_t address;  // (i * 124) modulo 256
    std::size_t offset;    // position in the caller's buffer
    std::size_t length;
};

std::size_t ChunkCount(std::int32_t length);
Chunk ChunkAt(std::int32_t length, std::size_t index);

Packet BuildRequest(std::uint8_t command, const Chunk& chunk, std::span<const std::uint8_t> data = {});

// At least one byte arrived and bytes 0, 1, 2 repeat the request's.
bool IsReply(const Packet& request, const Packet& reply, std::size_t received);

std::span<const std::uint8_t> ReplyData(const Packet& reply, std::size_t length);

}  // namespace pirrel
