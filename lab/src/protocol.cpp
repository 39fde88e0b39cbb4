#include "protocol.hpp"

#include <algorithm>

#include "tavik.hpp"

namespace lab {

namespace {

// The echo family of EEPROM frames (64 bytes). Every variant carries a read
// and a write command in byte 0, a start field, a length byte (1..60) and
// the data; the reply repeats the request's header and carries the bytes read
// or written. Variants differ in command codes and the start field:
//   echo8      0x09/0x08, byte 1 = byte address (wraps at 256), length 2, data 3
//   tesk300    0x09/0x08, bytes 1-2 = byte address (big-endian), length 3, data 4
//   brantle300 0x27/0x28, as echo8
//   quissel    0x13/0x14, as echo8
//   dorla      0x12/0x13, bytes 1-2 = block number (big-endian, 60-byte blocks),
//              length 3, data 4
struct EchoVariant {
    std::uint8_t read, write;
    enum Start { Byte8, Byte16Be, Block16Be } start;
};

class EchoFrames final : public Protocol {
public:
    explicit EchoFrames(EchoVariant v) : v_(v) {}
    static constexpr std::size_t kMaxLength = 60;

    std::size_t header() const { return v_.start == EchoVariant::Byte8 ? 3 : 4; }
    std::size_t length_at() const { return header() - 1; }

    // First image byte the request's start field points at.
    std::size_t first_byte(std::span<const std::uint8_t> req) const {
        switch (v_.start) {
        case EchoVariant::Byte8: return req[1];
        case EchoVariant::Byte16Be: return (std::size_t{req[1]} << 8) | req[2];
        case EchoVariant::Block16Be: return ((std::size_t{req[1]} << 8) | req[2]) * kMaxLength;
        }
        return 0;
    }

    bool accepts(std::span<const std::uint8_t> req) const override {
        if (req.size() < header()) return false;
        const std::uint8_t cmd = req[0];
        const std::size_t len = req[length_at()];
        if (cmd != v_.read && cmd != v_.write) return false;
        if (len == 0 || len > kMaxLength) return false;
        if (cmd == v_.write && req.size() < header() + len) return false;
        return true;
    }

    Report reply(std::span<const std::uint8_t> req, const Image& image) const override {
        Report r{};
        if (!accepts(req)) return r;
        const std::size_t h = header();
        std::copy_n(req.begin(), h, r.begin());
        const std::size_t len = req[length_at()];
        const std::size_t at = first_byte(req);
        for (std::size_t i = 0; i < len; ++i)
            r[h + i] = req[0] == v_.read ? image[(at + i) % kImageSize] : req[h + i];
        return r;
    }

    bool is_write(std::span<const std::uint8_t> req) const override { return accepts(req) && req[0] == v_.write; }

    void garble(std::vector<std::uint8_t>& req) const override {
        if (req.size() > header()) req[header()] = static_cast<std::uint8_t>(~req[header()]);
    }

    bool apply(std::span<const std::uint8_t> req, Image& image) const override {
        if (!accepts(req) || req[0] != v_.write) return false;
        const std::size_t h = header();
        const std::size_t len = req[length_at()];
        const std::size_t at = first_byte(req);
        bool changed = false;
        for (std::size_t i = 0; i < len; ++i) {
            std::uint8_t& cell = image[(at + i) % kImageSize];
            changed = changed || cell != req[h + i];
            cell = req[h + i];
        }
        return changed;
    }

    std::vector<std::uint8_t> earlier_request(std::span<const std::uint8_t> req) const override {
        std::vector<std::uint8_t> earlier(kReportSize, 0);
        earlier[0] = v_.read;
        const std::size_t la = length_at();
        if (v_.start == EchoVariant::Byte8) {
            earlier[1] = static_cast<std::uint8_t>((req.size() > 1 ? req[1] : 0) + 0x40);
        } else {
            earlier[2] = static_cast<std::uint8_t>((req.size() > 2 ? req[2] : 0) + 1);
        }
        earlier[la] = (req.size() > la && req[la] >= 1 && req[la] <= kMaxLength) ? req[la] : 16;
        return earlier;
    }

    void falsify(Report& r, Field field) const override {
        if (field == Field::Address) {
            const std::size_t low = v_.start == EchoVariant::Byte8 ? 1 : 2;
            r[low] = static_cast<std::uint8_t>(r[low] + 1);
        } else {
            r[length_at()] = static_cast<std::uint8_t>(r[length_at()] - 1);
        }
    }

private:
    EchoVariant v_;
};

// word16: the word-addressed frames of the Brantle-311 and Brantle-S61 (64 bytes).
//   request: [0] 0x03 read / 0x04 write, [1] 0, [2-3] word address, [4-5] word
//            count 1..29 (both little-endian), [6..] data of a write
//   reply:   [0] command | 0x80, [1-5] as the request, [6..] the words read or
//            written. Words beyond the 256-byte image read as 0xFF; writes there
//            are dropped.
class WordFrames final : public Protocol {
public:
    static constexpr std::uint8_t kRead = 0x03, kWrite = 0x04;
    static constexpr std::size_t kHeader = 6, kMaxWords = 29;

    static std::size_t u16(std::span<const std::uint8_t> b, std::size_t at) {
        return b[at] | (std::size_t{b[at + 1]} << 8);
    }

    bool accepts(std::span<const std::uint8_t> req) const override {
        if (req.size() < kHeader) return false;
        if (req[0] != kRead && req[0] != kWrite) return false;
        const std::size_t words = u16(req, 4);
        if (words == 0 || words > kMaxWords) return false;
        return req[0] == kRead || req.size() >= kHeader + 2 * words;
    }

    Report reply(std::span<const std::uint8_t> req, const Image& image) const override {
        Report r{};
        if (!accepts(req)) return r;
        std::copy_n(req.begin(), kHeader, r.begin());
        r[0] = static_cast<std::uint8_t>(req[0] | 0x80);
        const std::size_t at = 2 * u16(req, 2), n = 2 * u16(req, 4);
        for (std::size_t i = 0; i < n; ++i)
            r[kHeader + i] = req[0] == kRead ? (at + i < kImageSize ? image[at + i] : 0xFF) : req[kHeader + i];
        return r;
    }

    bool is_write(std::span<const std::uint8_t> req) const override { return accepts(req) && req[0] == kWrite; }

    bool apply(std::span<const std::uint8_t> req, Image& image) const override {
        if (!accepts(req) || req[0] != kWrite) return false;
        const std::size_t at = 2 * u16(req, 2), n = 2 * u16(req, 4);
        bool changed = false;
        for (std::size_t i = 0; i < n && at + i < kImageSize; ++i) {
            changed = changed || image[at + i] != req[kHeader + i];
            image[at + i] = req[kHeader + i];
        }
        return changed;
    }

    std::vector<std::uint8_t> earlier_request(std::span<const std::uint8_t> req) const override {
        std::vector<std::uint8_t> earlier(kReportSize, 0);
        earlier[0] = kRead;
        earlier[2] = static_cast<std::uint8_t>((req.size() > 2 ? req[2] : 0) + 40);
        earlier[4] = 29;
        return earlier;
    }

    void garble(std::vector<std::uint8_t>& req) const override {
        if (req.size() > kHeader) req[kHeader] = static_cast<std::uint8_t>(~req[kHeader]);
    }

    void falsify(Report& r, Field field) const override {
        const std::size_t at = field == Field::Address ? 2 : 4;
        r[at] = static_cast<std::uint8_t>(r[at] + 1);
    }
};

// usbxpress: the Pirrel's 128-byte packets over USBXpress bulk endpoints.
//   request: [0] '&' 0x26 read / '%' 0x25 write, [1] byte address, [2] length
//            1..124, [3..] data of a write
//   reply:   [0-2] as the request, [3..] the bytes read (wrapping at 256) or
//            written; 128 bytes, zero after.
class XpressPackets final : public Protocol {
public:
    static constexpr std::uint8_t kRead = 0x26, kWrite = 0x25;
    static constexpr std::size_t kHeader = 3, kMaxLength = 124;

    std::size_t frame_size() const override { return kMaxFrameSize; }

    bool accepts(std::span<const std::uint8_t> req) const override {
        if (req.size() < kHeader) return false;
        if (req[0] != kRead && req[0] != kWrite) return false;
        if (req[2] == 0 || req[2] > kMaxLength) return false;
        return req[0] == kRead || req.size() >= kHeader + req[2];
    }

    Report reply(std::span<const std::uint8_t> req, const Image& image) const override {
        Report r{};
        if (!accepts(req)) return r;
        std::copy_n(req.begin(), kHeader, r.begin());
        for (std::size_t i = 0; i < req[2]; ++i)
            r[kHeader + i] = req[0] == kRead ? image[(req[1] + i) % kImageSize] : req[kHeader + i];
        return r;
    }

    bool is_write(std::span<const std::uint8_t> req) const override { return accepts(req) && req[0] == kWrite; }

    bool apply(std::span<const std::uint8_t> req, Image& image) const override {
        if (!accepts(req) || req[0] != kWrite) return false;
        bool changed = false;
        for (std::size_t i = 0; i < req[2]; ++i) {
            std::uint8_t& cell = image[(req[1] + i) % kImageSize];
            changed = changed || cell != req[kHeader + i];
            cell = req[kHeader + i];
        }
        return changed;
    }

    // The packet before this one: the previous chunk of a read.
    std::vector<std::uint8_t> earlier_request(std::span<const std::uint8_t> req) const override {
        std::vector<std::uint8_t> earlier(kMaxFrameSize, 0);
        earlier[0] = kRead;
        earlier[1] = static_cast<std::uint8_t>((req.size() > 1 ? req[1] : 0) - kMaxLength);
        earlier[2] = kMaxLength;
        return earlier;
    }

    void falsify(Report& r, Field field) const override {
        const std::size_t at = field == Field::Address ? 1 : 2;
        r[at] = static_cast<std::uint8_t>(r[at] + 1);
    }
};

template <std::uint8_t Read, std::uint8_t Write, EchoVariant::Start Start>
std::unique_ptr<Protocol> make_echo() {
    return std::make_unique<EchoFrames>(EchoVariant{Read, Write, Start});
}

}  // namespace

namespace {

const ProtocolInfo kProtocols[] = {
    {"echo8", "64-byte EEPROM echo frames with 1-byte addresses (0x09/0x08)",
     make_echo<0x09, 0x08, EchoVariant::Byte8>, nullptr, 0x02},
    {"tesk300", "64-byte EEPROM echo frames, 16-bit big-endian byte addresses (0x09/0x08)",
     make_echo<0x09, 0x08, EchoVariant::Byte16Be>, nullptr, 0x02},
    {"brantle300", "64-byte EEPROM echo frames with 1-byte addresses (0x27/0x28)",
     make_echo<0x27, 0x28, EchoVariant::Byte8>, nullptr, 0x02},
    {"quissel", "64-byte EEPROM echo frames with 1-byte addresses (0x13/0x14)",
     make_echo<0x13, 0x14, EchoVariant::Byte8>, nullptr, 0x02},
    {"dorla", "64-byte EEPROM echo frames, 16-bit big-endian block numbers (0x12/0x13)",
     make_echo<0x12, 0x13, EchoVariant::Block16Be>, nullptr, 0x02},
    {"word16", "64-byte word-addressed frames, reply code = command | 0x80 (0x03/0x04), EP1 both ways",
     [] { return std::unique_ptr<Protocol>(new WordFrames()); }, nullptr, 0x01},
    {"usbxpress", "128-byte USBXpress packets (0x26 read / 0x25 write), EP1 both ways",
     [] { return std::unique_ptr<Protocol>(new XpressPackets()); }, nullptr, 0x01},
    {"tavik", "traffic generator command reports (64 bytes, code in byte 0), EEPROM and state kept",
     nullptr, tavik::make_responder, 0x01},
};

}  // namespace

std::span<const ProtocolInfo> protocols() { return kProtocols; }

const ProtocolInfo* find_protocol(std::string_view name) {
    auto it = std::find_if(std::begin(kProtocols), std::end(kProtocols),
                           [&](const ProtocolInfo& p) { return p.name == name; });
    return it == std::end(kProtocols) ? nullptr : &*it;
}

}  // namespace lab
