// The tavik traffic ports: link status, the per-port frame counters and their
// clearing, starting and stopping transmission, the transmit, port and entry
// records, and the media bytes.
#include <algorithm>

#include "tavik.hpp"
#include "tavik_fields.hpp"
#include "tavik_groups.hpp"

namespace lab::tavik {

namespace {

std::uint8_t counter_port(const Report& req) { return req[3]; }

std::array<std::uint8_t, kCounterBytes> counters(const State& st, std::uint8_t port) {
    std::array<std::uint8_t, kCounterBytes> c{};
    auto it = st.ports.find(port);
    const std::uint64_t frames = it == st.ports.end() ? 0 : it->second.frames;
    for (std::size_t j = 0; j < kCounterBytes / 8; ++j) {
        const std::uint64_t v = frames * (j + 1);
        for (std::size_t b = 0; b < 8; ++b) c[j * 8 + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
    return c;
}

}  // namespace

bool apply_traffic(State& st, const Report& req, Effect& e) {
    switch (req[0]) {
    case kSetMedia:
        e.state_changed = take(st.media, req, 2);
        return true;
    case kCounter:
        if (req[2] == 0) {
            PortState& p = st.ports[counter_port(req)];
            if (p.transmitting) p.frames += 1000;
        }
        return true;
    case kClearCounter:
        st.ports[static_cast<std::uint8_t>(u16(req, 2))].frames = 0;
        return true;
    case kTxConfig:
        e.state_changed = take(st.tx_config, req, 2);
        return true;
    case kStartTx:
    case kStopTx:
        st.ports[static_cast<std::uint8_t>(u16(req, 2))].transmitting = req[0] == kStartTx;
        return true;
    case kPortProperty:
        e.state_changed = take(st.port_property, req, 2);
        return true;
    case kEntryConfig:
        e.state_changed = take(st.entry_config, req, 2);
        return true;
    default:
        return false;
    }
}

bool answer_traffic(const State& st, const Report& req, Report& r) {
    switch (req[0]) {
    case kGetMedia:
        r[1] = 0x01;
        std::copy(st.media.begin(), st.media.end(), r.begin() + 2);
        for (std::size_t i = 5; i < kReportSize; ++i) r[i] = static_cast<std::uint8_t>(i ^ 0x5A);
        return true;
    case kSetMedia:
        copy_bytes(r, req, 2, 4);
        return true;
    case kLinkStatus: {
        std::uint32_t v = 0x0000000F;  // links of ports 0..3 up
        for (const auto& [port, ps] : st.ports)
            if (ps.transmitting && port < 24) v |= 1u << (8 + port);
        put32(r, 2, v);
        return true;
    }
    case kCounter: {
        copy_bytes(r, req, 2, 3);
        if (req[2] < 4) {
            const auto c = counters(st, counter_port(req));
            std::copy_n(c.begin() + req[2] * kPiece, kPiece, r.begin() + 4);
        }
        return true;
    }
    case kClearCounter:
    case kStartTx:
    case kStopTx:
        copy_bytes(r, req, 2, 3);
        return true;
    case kTxConfig:
        copy_bytes(r, req, 2, 49);
        return true;
    case kPortProperty:
        copy_bytes(r, req, 2, 15);
        return true;
    case kEntryConfig:
        copy_bytes(r, req, 2, 19);
        return true;
    default:
        return false;
    }
}

}  // namespace lab::tavik
