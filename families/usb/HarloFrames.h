#pragma once
#include <cstdint>
#include <span>

// Frames that the Harlo301API library hands to the family's callback.
namespace harlo {

// The completion of a read or write: 0xFE 0x00 at bytes 14-15 and the 32-bit
// little-endian value 0x1E00 at bytes 18-21. Only bytes that arrived are looked at.
inline bool IsCompletionFrame(std::span<const std::uint8_t> frame) {
    return frame.size() >= 22 && frame[14] == 0xFE && frame[15] == 0x00 && frame[18] == 0x00 && frame[19] == 0x1E &&
           frame[20] == 0x00 && frame[21] == 0x00;
}

// Machine IDs the library reports.
inline constexpr std::int32_t kHarlo301 = 1, kHarlo101 = 2, kHarlo801 = 3, kHarlo802 = 4;

}  // namespace harlo
