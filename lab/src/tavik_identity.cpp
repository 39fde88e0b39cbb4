// The tavik device's identity and EEPROM: the model and board number of a new
// identity image, the two system information replies, and EEPROM reads and
// writes (bytes 0..255 are the identity image, the rest lives in the state).
#include <algorithm>

#include "tavik.hpp"
#include "tavik_fields.hpp"
#include "tavik_groups.hpp"

namespace lab::tavik {

namespace {

std::uint8_t eeprom_byte(const State& st, const Image& image, std::size_t at) {
    if (at < kImageSize) return image[at];
    if (at < kEepromSize) return st.eeprom_high[at - kImageSize];
    return 0xFF;
}

}  // namespace

void fill_identity(Image& image, const Identity& id) {
    // 32..47: model text; 52..57: the board number, 48-bit big-endian, from the serial's digits.
    for (std::size_t i = 0; i < 16; ++i) image[32 + i] = i < id.model.size() ? static_cast<std::uint8_t>(id.model[i]) : 0;
    std::uint64_t n = 0;
    for (char c : id.serial)
        if (c >= '0' && c <= '9') n = (n * 10 + static_cast<std::uint64_t>(c - '0')) % (1ull << 48);
    for (std::size_t i = 0; i < 6; ++i) image[52 + i] = static_cast<std::uint8_t>(n >> (8 * (5 - i)));
}

bool apply_identity(State& st, Image& image, const Report& req, Effect& e) {
    switch (req[0]) {
    case kEepromWrite: {
        const std::size_t at = static_cast<std::size_t>(u16(req, 2)) * 2;
        const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(u16(req, 4)) * 2, 58);
        for (std::size_t i = 0; i < len && at + i < kEepromSize; ++i) {
            std::uint8_t& cell = at + i < kImageSize ? image[at + i] : st.eeprom_high[at + i - kImageSize];
            if (cell == req[6 + i]) continue;
            cell = req[6 + i];
            (at + i < kImageSize ? e.identity_changed : e.state_changed) = true;
        }
        return true;
    }
    default:
        return false;
    }
}

bool answer_identity(const State& st, const Image& image, const Identity& id, const Report& req, Report& r) {
    switch (req[0]) {
    case kSysInfo1: {
        put_text(r, 2, 14, "FW 3.12.0");
        put_text(r, 16, 20, id.model);
        // 36..41: a locally administered MAC address from the serial.
        std::uint32_t h = 2166136261u;
        for (char c : id.serial) h = (h ^ static_cast<std::uint8_t>(c)) * 16777619u;
        const std::uint8_t mac[6] = {0x02, 0x51, static_cast<std::uint8_t>(h >> 24), static_cast<std::uint8_t>(h >> 16),
                                     static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h)};
        std::copy(mac, mac + 6, r.begin() + 36);
        r[51] = 24;  // manufacturing date 2024-05-17
        r[52] = 5;
        r[53] = 17;
        put32(r, 54, 1234);  // operating hours
        return true;
    }
    case kSysInfo2:
        put_text(r, 2, 9, "HW 1.4");
        put_text(r, 11, 9, "FPGA 2.07");
        put_text(r, 20, 9, "BOOT 1.02");
        put_text(r, 29, 7, "PAD 1.0");
        put_text(r, 36, 9, "WLAN 4.1");
        put_text(r, 45, 9, "RG 1.3");
        put_text(r, 54, 8, "REV C");
        return true;
    case kEepromRead: {
        copy_bytes(r, req, 2, 5);
        const std::size_t at = static_cast<std::size_t>(u16(req, 2)) * 2;
        const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(u16(req, 4)) * 2, 58);
        for (std::size_t i = 0; i < len; ++i) r[6 + i] = eeprom_byte(st, image, at + i);
        return true;
    }
    case kEepromWrite:
        copy_bytes(r, req, 2, 63);
        return true;
    default:
        return false;
    }
}

}  // namespace lab::tavik
