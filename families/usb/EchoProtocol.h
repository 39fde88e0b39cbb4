#pragma once
#include <array>
#include <cstdint>
#include <span>

// The 64-byte echo protocol of the USB link families: every request carries a
// command, an address field and a length; the matching reply repeats them.
// Pure encoding and recognition, no I/O.
namespace echo {

inline constexpr std::size_t kReportSize = 64;
using Report = std::array<std::uint8_t, kReportSize>;

// Where a family puts its fields.
struct Layout {
    std::uint8_t readCommand;
    std::uint8_t writeCommand;
    std::size_t addressOffset;  // first byte of the address field
    std::size_t addressWidth;   // 1 or 2 bytes (a 2-byte field is big-endian)
    std::size_t lengthOffset;
    std::size_t dataOffset;
    std::size_t chunkSize;      // bytes per request
    // What the address field counts: the chunk's byte address, or the
    // chunk's number (0, 1, 2, ...) for families that address by chunk.
    enum class Addressing { Bytes, Chunks };
    Addressing addressing = Addressing::Bytes;
};

// Tesk-100/200: one-byte addresses at byte 1, length at byte 2, data from byte 3.
inline constexpr Layout kTeskLayout{0x09, 0x08, 1, 1, 2, 3, 60};

struct Chunk {
    std::uint32_t address;  // value of the address field
    std::size_t offset;     // position in the caller's buffer
    std::size_t length;
};

// Splits a transfer of `length` bytes into chunks of the layout's size;
// addresses wrap at the width of the address field.
std::size_t ChunkCount(const Layout& layout, std::int32_t length);
Chunk ChunkAt(const Layout& layout, std::int32_t length, std::size_t index);

// Builds a request; `data` (write only) must hold chunk.length bytes.
Report BuildRequest(const Layout& layout, std::uint8_t command, const Chunk& chunk,
                    std::span<const std::uint8_t> data = {});

// True when the reply (of which `received` bytes arrived) answers the request:
// at least one byte, and command, address and length echoed.
bool IsEcho(const Layout& layout, const Report& request, const Report& reply, std::size_t received);

// The data bytes of an accepted read reply.
std::span<const std::uint8_t> ReplyData(const Layout& layout, const Report& reply, std::size_t length);

}  // namespace echo
