// Byte fields of tavik command reports, for the command groups: little-endian
// 16- and 32-bit numbers, NUL-padded text, echoed request bytes and stored
// records taken from a request.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol.hpp"

namespace lab::tavik {

inline std::uint16_t u16(const Report& r, std::size_t at) { return static_cast<std::uint16_t>(r[at] | (r[at + 1] << 8)); }
inline std::uint32_t u32(const Report& r, std::size_t at) {
    return static_cast<std::uint32_t>(r[at]) | (static_cast<std::uint32_t>(r[at + 1]) << 8) |
           (static_cast<std::uint32_t>(r[at + 2]) << 16) | (static_cast<std::uint32_t>(r[at + 3]) << 24);
}
inline void put16(Report& r, std::size_t at, std::uint16_t v) {
    r[at] = static_cast<std::uint8_t>(v);
    r[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(Report& r, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_text(Report& r, std::size_t at, std::size_t len, std::string_view text) {
    for (std::size_t i = 0; i < len; ++i) r[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
}
inline void copy_bytes(Report& r, const Report& req, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i <= to; ++i) r[i] = req[i];
}
// Stores request bytes from.. into a record; true when the record changed.
template <std::size_t N>
bool take(std::array<std::uint8_t, N>& field, const Report& req, std::size_t from) {
    bool changed = false;
    for (std::size_t i = 0; i < N; ++i) {
        changed = changed || field[i] != req[from + i];
        field[i] = req[from + i];
    }
    return changed;
}

}  // namespace lab::tavik
