#pragma once
#include <cstdint>
#include <optional>
#include <span>

// Bounds-checked field access for the network protocols: a read past what
// arrived yields nothing, a write past the frame does nothing.
namespace wire {

using Bytes = std::span<const std::uint8_t>;

inline bool Has(Bytes b, std::size_t offset, std::size_t width) {
    return offset <= b.size() && width <= b.size() - offset;
}

inline std::optional<std::uint16_t> ReadU16Be(Bytes b, std::size_t offset) {
    if (!Has(b, offset, 2)) return std::nullopt;
    return static_cast<std::uint16_t>((b[offset] << 8) | b[offset + 1]);
}

inline std::optional<std::uint16_t> ReadU16Le(Bytes b, std::size_t offset) {
    if (!Has(b, offset, 2)) return std::nullopt;
    return static_cast<std::uint16_t>(b[offset] | (b[offset + 1] << 8));
}

inline std::optional<std::uint32_t> ReadU32Be(Bytes b, std::size_t offset) {
    if (!Has(b, offset, 4)) return std::nullopt;
    return (std::uint32_t{b[offset]} << 24) | (std::uint32_t{b[offset + 1]} << 16) |
           (std::uint32_t{b[offset + 2]} << 8) | std::uint32_t{b[offset + 3]};
}

inline std::optional<std::uint32_t> ReadU32Le(Bytes b, std::size_t offset) {
    if (!Has(b, offset, 4)) return std::nullopt;
    return std::uint32_t{b[offset]} | (std::uint32_t{b[offset + 1]} << 8) | (std::uint32_t{b[offset + 2]} << 16) |
           (std::uint32_t{b[offset + 3]} << 24);
}

inline void WriteU16Be(std::span<std::uint8_t> b, std::size_t offset, std::uint16_t v) {
    if (!Has(b, offset, 2)) return;
    b[offset] = static_cast<std::uint8_t>(v >> 8);
    b[offset + 1] = static_cast<std::uint8_t>(v);
}

inline void WriteU16Le(std::span<std::uint8_t> b, std::size_t offset, std::uint16_t v) {
    if (!Has(b, offset, 2)) return;
    b[offset] = static_cast<std::uint8_t>(v);
    b[offset + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void WriteU32Be(std::span<std::uint8_t> b, std::size_t offset, std::uint32_t v) {
    if (!Has(b, offset, 4)) return;
    for (int i = 0; i < 4; ++i) b[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

inline void WriteU32Le(std::span<std::uint8_t> b, std::size_t offset, std::uint32_t v) {
    if (!Has(b, offset, 4)) return;
    for (int i = 0; i < 4; ++i) b[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Chunks of at most `size` bytes: the count for a transfer of `length` bytes
// (0 for a length of 0 or less), and chunk k's length.
inline std::size_t ChunkCount(std::int32_t length, std::size_t size) {
    if (length <= 0) return 0;
    const auto n = static_cast<std::size_t>(length);
    return n / size + (n % size ? 1 : 0);
}

inline std::size_t ChunkLength(std::int32_t length, std::size_t size, std::size_t k) {
    const auto n = static_cast<std::size_t>(length);
    const std::size_t offset = k * size;
    return offset >= n ? 0 : (n - offset < size ? n - offset : size);
}

}  // namespace wire
