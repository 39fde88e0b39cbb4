// The tavik device settings: registers, the system configuration, the
// attenuation, and the WLAN command with the message it leaves to be read.
#include <algorithm>
#include <string>

#include "tavik.hpp"
#include "tavik_fields.hpp"
#include "tavik_groups.hpp"

namespace lab::tavik {

namespace {

std::uint32_t register_value(const State& st, std::uint16_t addr) {
    auto it = st.registers.find(addr);
    return it != st.registers.end() ? it->second : 0x5A5A0000u | addr;
}

}  // namespace

std::vector<std::uint8_t> wlan_message_for(std::span<const std::uint8_t> command) {
    std::string text = "WLAN reply to '";
    for (std::uint8_t c : command) {
        if (c == 0) break;
        text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    text += "': status=0 rssi=-42dBm channel=6 ssid=brevane-lab";
    return {text.begin(), text.end()};
}

bool apply_settings(State& st, const Report& req, Effect& e) {
    switch (req[0]) {
    case kWriteReg:
        st.registers[u16(req, 2)] = u32(req, 4);
        e.state_changed = true;
        return true;
    case kSetSysConfig:
        e.state_changed = take(st.sys_config, req, 2);
        return true;
    case kWlanCommand:
        st.wlan_message = wlan_message_for(std::span(req).subspan(2));
        return true;
    case kSetAttenuation:
        e.state_changed = st.attenuation != u16(req, 2);
        st.attenuation = u16(req, 2);
        return true;
    default:
        return false;
    }
}

bool answer_settings(const State& st, const Report& req, Report& r) {
    switch (req[0]) {
    case kReadReg:
        copy_bytes(r, req, 2, 3);
        put32(r, 4, register_value(st, u16(req, 2)));
        return true;
    case kWriteReg:
        copy_bytes(r, req, 2, 7);
        return true;
    case kGetSysConfig:
        std::copy(st.sys_config.begin(), st.sys_config.end(), r.begin() + 2);
        return true;
    case kSetSysConfig:
        copy_bytes(r, req, 2, 23);
        return true;
    case kWlanCommand:
    case kWlanLength:
        put16(r, 2, static_cast<std::uint16_t>(st.wlan_message.size()));
        return true;
    case kWlanData: {
        copy_bytes(r, req, 2, 3);
        const std::size_t at = static_cast<std::size_t>(u16(req, 2)) * kPiece;
        for (std::size_t i = 0; i < kPiece && at + i < st.wlan_message.size(); ++i) r[4 + i] = st.wlan_message[at + i];
        return true;
    }
    case kSetAttenuation:
        copy_bytes(r, req, 2, 3);
        return true;
    case kGetAttenuation:
        put16(r, 2, st.attenuation);
        return true;
    default:
        return false;
    }
}

}  // namespace lab::tavik
