#include "protocol.hpp"

#include <algorithm>

#include "tavik.hpp"

namespace lab {

namespace {

// echo8: 64-byte frames, 1-byte addresses.
//   request: [0] command (0x09 read, 0x08 write) [1] address [2] length (1..60)
//            [3..] data of a write
//   reply:   [0] command [1] address [2] length [3..] data read or written
class Echo8 final : public Protocol {
public:
    static constexpr std::uint8_t kRead = 0x09;
    static constexpr std::uint8_t kWrite = 0x08;
    static constexpr std::size_t kHeader = 3;
    static constexpr std::size_t kMaxLength = 60;

    bool accepts(std::span<const std::uint8_t> req) const override {
        if (req.size() < kHeader) return false;
        const std::uint8_t cmd = req[0];
        const std::size_t len = req[2];
        if (cmd != kRead && cmd != kWrite) return false;
        if (len == 0 || len > kMaxLength) return false;
        if (cmd == kWrite && req.size() < kHeader + len) return false;
        return true;
    }

    Report reply(std::span<const std::uint8_t> req, const Image& image) const override {
        Report r{};
        if (!accepts(req)) return r;
        const std::uint8_t cmd = req[0];
        const std::uint8_t addr = req[1];
        const std::size_t len = req[2];
        r[0] = cmd;
        r[1] = addr;
        r[2] = static_cast<std::uint8_t>(len);
        for (std::size_t i = 0; i < len; ++i) {
            r[kHeader + i] = (cmd == kRead) ? image[(addr + i) % kImageSize] : req[kHeader + i];
        }
        return r;
    }

    bool is_write(std::span<const std::uint8_t> req) const override { return accepts(req) && req[0] == kWrite; }

    bool apply(std::span<const std::uint8_t> req, Image& image) const override {
        if (!accepts(req) || req[0] != kWrite) return false;
        const std::uint8_t addr = req[1];
        const std::size_t len = req[2];
        bool changed = false;
        for (std::size_t i = 0; i < len; ++i) {
            std::uint8_t& cell = image[(addr + i) % kImageSize];
            changed = changed || cell != req[kHeader + i];
            cell = req[kHeader + i];
        }
        return changed;
    }

    std::vector<std::uint8_t> earlier_request(std::span<const std::uint8_t> req) const override {
        std::vector<std::uint8_t> earlier(kReportSize, 0);
        earlier[0] = kRead;
        earlier[1] = static_cast<std::uint8_t>((req.size() > 1 ? req[1] : 0) + 0x40);
        earlier[2] = (req.size() > 2 && req[2] >= 1 && req[2] <= kMaxLength) ? req[2] : 16;
        return earlier;
    }

    void garble(std::vector<std::uint8_t>& req) const override {
        if (req.size() > kHeader) req[kHeader] = static_cast<std::uint8_t>(~req[kHeader]);
    }

    void falsify(Report& r, Field field) const override {
        if (field == Field::Address) {
            r[1] = static_cast<std::uint8_t>(r[1] + 1);
        } else {
            r[2] = static_cast<std::uint8_t>(r[2] - 1);
        }
    }
};

const ProtocolInfo kProtocols[] = {
    {"echo8", "64-byte EEPROM echo frames with 1-byte addresses",
     [] { return std::unique_ptr<Protocol>(new Echo8()); }, nullptr, 0x02},
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
