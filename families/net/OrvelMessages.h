#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "OrvelModels.h"
#include "WireBytes.h"

// Call-back messages of the chassis-server library: code big-endian at bytes
// 0-1, payload from byte 20. Pure recognition, bounded by the length given.
namespace orvel {

inline constexpr std::uint16_t kPortReport = 0x80FE;
inline constexpr std::uint16_t kEepromData = 0x1E00;
inline constexpr std::uint16_t kWriteDone = 0x80E1;
inline constexpr std::size_t kPayload = 20;
inline constexpr std::size_t kEepromPayload = 262;
inline constexpr std::size_t kMaxPorts = 0x2000;

std::optional<std::uint16_t> MessageCode(wire::Bytes message);

// The port list a port report builds: catalogued codes only, duplicates
// dropped, second items added, sorted by chassis, slot, port (stable). Nothing
// when the report is to be ignored (N = 0xFFFF, N above 8192, or fewer entries
// than N arrived).
std::optional<std::vector<_portinfo>> ParsePortReport(wire::Bytes message);

struct EepromData {
    std::uint16_t chassis;
    std::uint8_t slot;
    std::uint8_t port;
    std::uint16_t words;
    std::array<std::uint8_t, 256> bytes;
};
// The 262 payload bytes of an EEPROM-data message; nothing when fewer came.
std::optional<EepromData> ParseEepromData(wire::Bytes message);

}  // namespace orvel
