#include "OrvelMessages.h"

#include <algorithm>

namespace orvel {

std::optional<std::uint16_t> MessageCode(wire::Bytes message) { return wire::ReadU16Be(message, 0); }

std::optional<std::vector<_portinfo>> ParsePortReport(wire::Bytes message) {
    const auto n = wire::ReadU16Be(message, kPayload);
    if (!n || *n == 0xFFFF || *n > kMaxPorts) return std::nullopt;
    constexpr std::size_t first = kPayload + 2, size = 6;
    if (!wire::Has(message, first, std::size_t{*n} * size)) return std::nullopt;
    std::vector<_portinfo> list;
    auto add = [&](const _portinfo& p) {
        const bool known = std::any_of(list.begin(), list.end(), [&](const _portinfo& q) {
            return q.chassis == p.chassis && q.slot == p.slot && q.model == p.model && q.subItem == p.subItem;
        });
        if (!known) list.push_back(p);
    };
    for (std::size_t i = 0; i < *n; ++i) {
        const std::size_t at = first + size * i;
        _portinfo p{*wire::ReadU16Be(message, at), message[at + 2], message[at + 3], message[at + 4], 0,
                    message[at + 5]};
        if (!FirstWithCode(p.model)) continue;
        if (p.model == kTrafficGenerator) p.subItem = p.port;
        add(p);
        if (HasSecondItem(p.model)) {
            p.subItem = 1;
            add(p);
        }
    }
    auto key = [](const _portinfo& p) {
        return (std::uint32_t{p.chassis} << 16) | (std::uint32_t{p.slot} << 8) | p.port;
    };
    std::stable_sort(list.begin(), list.end(), [&](const _portinfo& a, const _portinfo& b) { return key(a) < key(b); });
    return list;
}

std::optional<EepromData> ParseEepromData(wire::Bytes message) {
    if (!wire::Has(message, kPayload, kEepromPayload)) return std::nullopt;
    EepromData d{*wire::ReadU16Be(message, kPayload), message[kPayload + 2], message[kPayload + 3],
                 *wire::ReadU16Be(message, kPayload + 4), {}};
    std::copy_n(message.begin() + kPayload + 6, 256, d.bytes.begin());
    return d;
}

}  // namespace orvel
