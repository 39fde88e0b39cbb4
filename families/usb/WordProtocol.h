#pragma once
#include <cstdint>
#include <span>

#include "EchoProtocol.h"

// The word-addressed exchange of the Brantle-311 and Brantle-S61: 64-byte
// reports in which addresses and lengths count 16-bit words (little-endian),
// and a reply is recognised by its first byte alone (the command + 0x80).
// Pure encoding and recognition, no I/O.
namespace wordproto {

inline constexpr std::uint8_t kRead = 0x03;
inline constexpr std::uint8_t kWrite = 0x04;
inline constexpr std::uint8_t kReplyFlag = 0x80;
inline constexpr std::size_t kDataOffset = 6;
inline constexpr std::size_t kChunkSize = 58;  // bytes per request (29 words)
inline constexpr int kReplyLimitMs = 3000;     // from the request to the last reply attempt

struct Chunk {
    std::uint32_t byteAddress;  // even
    std::size_t offset;         // position in the caller's buffer
    std::size_t length;         // bytes the caller wants (may be odd on a read)
    std::uint16_t wordAddress;
    std::uint16_t wordCount;    // words that cover `length` bytes
};

// Chunks of 58 bytes at byte address i * 58 (no wrap).
std::size_t ChunkCount(std::int32_t length);
Chunk ChunkAt(std::int32_t length, std::size_t index);

// Byte 0 the command, byte 1 zero, bytes 2-3 the word address, bytes 4-5 the
// word count, a write's data from byte 6 (`data` holds chunk.length bytes).
echo::Report BuildRequest(std::uint8_t command, const Chunk& chunk, std::span<const std::uint8_t> data = {});

// A reply answers a request of `command` when at least one byte arrived and
// byte 0 is the command + 0x80. Address and length are not compared.
bool IsReply(std::uint8_t command, const echo::Report& reply, std::size_t received);

// The data bytes of an accepted read reply (at most what a report holds).
std::span<const std::uint8_t> ReplyData(const echo::Report& reply, std::size_t length);

}  // namespace wordproto
