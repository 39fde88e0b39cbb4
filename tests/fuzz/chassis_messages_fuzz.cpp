// Call-back messages of the chassis libraries, any bytes with the length the
// library gave: Jessor (Vorn-API) slot tables and EEPROM replies, Orvel port
// reports and EEPROM-data messages.
#include <algorithm>
#include <cstring>

#include "FuzzInput.h"
#include "families/net/OrvelMessages.h"
#include "families/net/VornMessages.h"

namespace {

std::uint16_t Be16(wire::Bytes m, std::size_t at) { return static_cast<std::uint16_t>((m[at] << 8) | m[at + 1]); }

void Vorn(std::size_t count, wire::Bytes m) {
    const auto code = vorn::MessageCode(m);
    if (code.has_value() != (m.size() >= 2)) __builtin_trap();
    if (code && *code != (Be16(m, 0) & 0x7FFF)) __builtin_trap();

    const auto table = vorn::ParseSlotTable(m);
    if (table.has_value() != (m.size() >= vorn::kSlotTableSize)) __builtin_trap();
    if (table) {
        if (table->cards.size() > vorn::kSlots) __builtin_trap();
        if (!std::equal(table->station.begin(), table->station.end(), m.begin() + vorn::kStationOffset))
            __builtin_trap();
        int previous = -1;
        for (const auto& card : table->cards) {
            if (card.slot >= vorn::kSlots || card.slot <= previous) __builtin_trap();  // by slot, each once
            previous = card.slot;
            const std::size_t entry = vorn::kEntriesOffset + vorn::kEntrySize * card.slot;
            std::uint32_t presence = 0;
            std::memcpy(&presence, m.data() + entry + vorn::kPresenceOffset, sizeof presence);
            if ((presence != 1 && presence != 9) || card.cardType != Be16(m, entry)) __builtin_trap();
            if (vorn::CardTypeText(card.cardType).empty()) __builtin_trap();
        }
    }

    const auto data = vorn::ReplyData(m, count);
    if (data.has_value() != (m.size() >= vorn::kDataOffset + count)) __builtin_trap();
    if (data && (data->size() != count || !Within(*data, m) || data->data() != m.data() + vorn::kDataOffset))
        __builtin_trap();
}

void Orvel(wire::Bytes m) {
    const auto code = orvel::MessageCode(m);
    if (code.has_value() != (m.size() >= 2) || (code && *code != Be16(m, 0))) __builtin_trap();

    const auto ports = orvel::ParsePortReport(m);
    const std::size_t n = m.size() >= orvel::kPayload + 2 ? Be16(m, orvel::kPayload) : 0;
    const bool whole = m.size() >= orvel::kPayload + 2 && n != 0xFFFF && n <= orvel::kMaxPorts &&
                       m.size() - (orvel::kPayload + 2) >= n * 6;
    if (ports.has_value() != whole) __builtin_trap();
    if (ports) {
        if (ports->size() > 2 * n) __builtin_trap();
        for (std::size_t i = 0; i < ports->size(); ++i) {
            const orvel::_portinfo& p = (*ports)[i];
            if (!orvel::FirstWithCode(p.model)) __builtin_trap();  // catalogued codes only
            // Every port came from an entry of the report.
            bool found = false;
            for (std::size_t k = 0; k < n && !found; ++k) {
                const std::size_t at = orvel::kPayload + 2 + 6 * k;
                found = Be16(m, at) == p.chassis && m[at + 2] == p.slot && m[at + 3] == p.port && m[at + 4] == p.model;
            }
            if (!found) __builtin_trap();
            if (i > 0) {
                const orvel::_portinfo& q = (*ports)[i - 1];
                const auto key = [](const orvel::_portinfo& x) {
                    return (std::uint32_t{x.chassis} << 16) | (std::uint32_t{x.slot} << 8) | x.port;
                };
                if (key(q) > key(p)) __builtin_trap();  // sorted by chassis, slot, port
            }
            for (std::size_t k = 0; k < i; ++k) {  // no duplicates
                const orvel::_portinfo& q = (*ports)[k];
                if (q.chassis == p.chassis && q.slot == p.slot && q.model == p.model && q.subItem == p.subItem)
                    __builtin_trap();
            }
        }
    }

    const auto eeprom = orvel::ParseEepromData(m);
    if (eeprom.has_value() != (m.size() >= orvel::kPayload + orvel::kEepromPayload)) __builtin_trap();
    if (eeprom) {
        if (eeprom->chassis != Be16(m, orvel::kPayload) || eeprom->slot != m[orvel::kPayload + 2] ||
            eeprom->port != m[orvel::kPayload + 3] || eeprom->words != Be16(m, orvel::kPayload + 4) ||
            !std::equal(eeprom->bytes.begin(), eeprom->bytes.end(), m.begin() + orvel::kPayload + 6))
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t mode = in.U8();
    const std::size_t count = in.U16() % (vorn::kMaxTransfer + 64);
    if (mode & 1)
        Orvel(in.Rest());
    else
        Vorn(count, in.Rest());
    return 0;
}
