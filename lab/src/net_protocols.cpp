#include "net_protocols.hpp"

#include <algorithm>
#include <cstring>

namespace lab::net {

namespace {

// Bounds-checked field access; reads past the end give nullopt.
std::optional<std::uint16_t> read_u16_be(std::span<const std::uint8_t> b, std::size_t at) {
    if (at + 2 > b.size()) return std::nullopt;
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}
std::optional<std::uint16_t> read_u16_le(std::span<const std::uint8_t> b, std::size_t at) {
    if (at + 2 > b.size()) return std::nullopt;
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::optional<std::uint32_t> read_u32(std::span<const std::uint8_t> b, std::size_t at, bool big) {
    if (at + 4 > b.size()) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + static_cast<std::size_t>(i)]) << (big ? 24 - 8 * i : 8 * i);
    return v;
}
std::optional<std::uint16_t> read_u16(std::span<const std::uint8_t> b, std::size_t at, bool big) {
    return big ? read_u16_be(b, at) : read_u16_le(b, at);
}

void put_u16(Bytes& b, std::size_t at, std::uint16_t v, bool big) {
    b.at(at) = static_cast<std::uint8_t>(big ? v >> 8 : v);
    b.at(at + 1) = static_cast<std::uint8_t>(big ? v : v >> 8);
}
void put_u32(Bytes& b, std::size_t at, std::uint32_t v, bool big) {
    for (std::size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (big ? 24 - 8 * i : 8 * i));
}
void put_text(Bytes& b, std::size_t at, std::string_view s, std::size_t max) {
    for (std::size_t i = 0; i < s.size() && i < max && at + i < b.size(); ++i) b[at + i] = static_cast<std::uint8_t>(s[i]);
}

// `count` image bytes from byte address `from`; 0xFF past the image end.
Bytes image_bytes(const Image& img, std::size_t from, std::size_t count) {
    Bytes out(count, 0xff);
    for (std::size_t i = 0; i < count && from + i < img.size(); ++i) out[i] = img[from + i];
    return out;
}

// ---- Evra and Kalder: one 20-byte header in either byte order ----

struct VklpForm {
    bool big;
    std::size_t discovery_req, discovery_reply;
};
constexpr VklpForm kEvraForm{true, 28, 96};
constexpr VklpForm kKalderForm{false, 26, 94};
constexpr std::uint8_t kVklp[4] = {'V', 'K', 'L', 'P'};
constexpr std::uint8_t kPlkv[4] = {'P', 'L', 'K', 'V'};

// Magic and the constant fields 4..15 as the protocol's byte order has them.
bool vklp_header_ok(std::span<const std::uint8_t> r, const VklpForm& f) {
    if (r.size() < 20) return false;
    if (std::memcmp(r.data(), f.big ? kVklp : kPlkv, 4) != 0) return false;
    return read_u32(r, 4, f.big) == 1u && read_u32(r, 8, f.big) == 1u && read_u32(r, 12, f.big) == 0u;
}

Bytes vklp_reply(std::size_t size, std::uint16_t command, std::uint16_t field18, const VklpForm& f) {
    Bytes b(size, 0);
    std::memcpy(b.data(), f.big ? kVklp : kPlkv, 4);
    put_u32(b, 4, 1, f.big);
    put_u32(b, 8, 1, f.big);
    put_u32(b, 12, 0, f.big);
    put_u16(b, 16, command, f.big);
    put_u16(b, 18, field18, f.big);
    return b;
}

std::optional<Answer> evra(const DeviceView& dev, std::span<const std::uint8_t> r) {
    const VklpForm& f = kEvraForm;
    if (!vklp_header_ok(r, f)) return std::nullopt;
    const std::uint16_t cmd = *read_u16_be(r, 16);
    const Image* img = dev.image(kController);
    if (cmd == 1 && r.size() == f.discovery_req) {
        Answer a{Msg::Discovery, kController, vklp_reply(f.discovery_reply, 1, 0, f), {}};
        put_u32(a.reply, 28, dev.config.address, true);
        put_text(a.reply, 32, "Pembrix Evra", 16);
        put_text(a.reply, 48, dev.config.serial, 32);
        return a;
    }
    if (!img) return std::nullopt;
    if (cmd == 14 && r.size() == 20) {
        Answer a{Msg::Read, kController, vklp_reply(276, 14, 0, f), {}};
        std::copy(img->begin(), img->end(), a.reply.begin() + 20);
        return a;
    }
    if (cmd == 15 && r.size() == 276) {
        Answer a{Msg::Write, kController, vklp_reply(276, 15, 0, f), {}};
        std::copy(r.begin() + 20, r.begin() + 276, a.reply.begin() + 20);
        a.write = WriteEffect{kController, 0, Bytes(r.begin() + 20, r.begin() + 276)};
        return a;
    }
    return std::nullopt;
}

std::optional<Answer> kalder(const DeviceView& dev, std::span<const std::uint8_t> r) {
    const VklpForm& f = kKalderForm;
    if (!vklp_header_ok(r, f)) return std::nullopt;
    const std::uint16_t cmd = *read_u16_le(r, 16);
    const std::uint16_t word = *read_u16_le(r, 18);
    if (cmd == 1 && r.size() == f.discovery_req) {
        Answer a{Msg::Discovery, kController, vklp_reply(f.discovery_reply, 1, 0, f), {}};
        put_u32(a.reply, 26, dev.config.address, false);
        put_text(a.reply, 30, "Kalder Series", 16);
        put_text(a.reply, 46, dev.config.serial, 32);
        return a;
    }
    const Image* img = dev.image(kController);
    if (!img || r.size() != 278) return std::nullopt;
    const std::uint16_t words = *read_u16_le(r, 20);
    if (words > 128) return std::nullopt;  // more than one packet holds
    const std::size_t from = std::size_t{word} * 2, count = std::size_t{words} * 2;
    if (cmd == 2) {
        Answer a{Msg::Read, kController, vklp_reply(278, 2, word, f), {}};
        put_u16(a.reply, 20, words, false);
        const Bytes data = image_bytes(*img, from, count);
        std::copy(data.begin(), data.end(), a.reply.begin() + 22);
        return a;
    }
    if (cmd == 3) {
        Answer a{Msg::Write, kController, vklp_reply(20, 3, word, f), {}};
        a.reply.resize(18);  // the acknowledgement ends after the command
        a.write = WriteEffect{kController, from, Bytes(r.begin() + 22, r.begin() + 22 + static_cast<std::ptrdiff_t>(count))};
        return a;
    }
    return std::nullopt;
}

// ---- Gostel: little-endian fields, no magic ----

void gostel_mac(Bytes& b, const NetDeviceConfig& c) {
    const std::uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x21, static_cast<std::uint8_t>(c.lan),
                                 static_cast<std::uint8_t>(c.address)};
    std::copy(mac, mac + 6, b.begin());
}

std::optional<Answer> gostel(const DeviceView& dev, std::span<const std::uint8_t> r) {
    const auto cmd = read_u16_le(r, 6), param = read_u16_le(r, 8);
    if (!cmd || !param) return std::nullopt;
    const bool broadcast_head = std::all_of(r.begin(), r.begin() + 6, [](std::uint8_t x) { return x == 0xff; });
    if ((*cmd == 3 || *cmd == 6) && r.size() == 16 && *param == 1 && broadcast_head) {
        if (*cmd == 3) {
            Answer a{Msg::Discovery, kController, Bytes(112, 0), {}};
            gostel_mac(a.reply, dev.config);
            put_u16(a.reply, 6, 3, false);
            put_u16(a.reply, 8, 1, false);
            put_u32(a.reply, 12, dev.config.address, true);
            put_text(a.reply, 16, "Gostel-2160", 16);
            put_text(a.reply, 32, dev.config.serial, 32);
            return a;
        }
        Answer a{Msg::SlotTable, kController, Bytes(144, 0), {}};
        gostel_mac(a.reply, dev.config);
        put_u16(a.reply, 6, 6, false);
        put_u16(a.reply, 8, 1, false);
        for (const CardConfig& c : dev.config.cards) {
            const std::size_t at = 16 + 8 * static_cast<std::size_t>(c.slot);
            put_u16(a.reply, at, c.type, false);
            put_u16(a.reply, at + 2, static_cast<std::uint16_t>(c.state), false);
        }
        return a;
    }
    if (*cmd != 14 || r.size() != 276) return std::nullopt;
    const std::uint16_t sub = *param, slot = *read_u16_le(r, 10), word = *read_u16_le(r, 16),
                        count = *read_u16_le(r, 18);
    if (count > 256 || sub < 1 || sub > 6) return std::nullopt;
    const bool controller = sub == 1 || sub == 2;
    const bool is_write = sub % 2 == 0;
    if (!controller && slot > 15) return std::nullopt;
    const int target = controller ? kController : slot;
    const Image* img = dev.image(target);
    if (!img) return std::nullopt;  // an empty slot does not answer
    Answer a{is_write ? Msg::Write : Msg::Read, target, Bytes(r.begin(), r.end()), {}};
    const std::size_t from = std::size_t{word} * 2;
    if (is_write) {
        a.write = WriteEffect{target, from, Bytes(r.begin() + 20, r.begin() + 20 + count)};
    } else {
        std::fill(a.reply.begin() + 20, a.reply.end(), 0);
        const Bytes data = image_bytes(*img, from, count);
        std::copy(data.begin(), data.end(), a.reply.begin() + 20);
    }
    return a;
}

// ---- Jessor: the Vorn chassis protocol (outside/PROTOCOLS.md), big-endian ----

std::optional<Answer> jessor(const DeviceView& dev, std::span<const std::uint8_t> r) {
    constexpr std::size_t head = 8;
    if (r.size() < head || std::memcmp(r.data(), "VRNQ", 4) != 0) return std::nullopt;
    const std::uint8_t op = r[4];
    auto reply = [&](Msg m, int slot, std::size_t body) {
        Answer a{m, slot, Bytes(head + body, 0), {}};
        std::memcpy(a.reply.data(), "VRNA", 4);
        a.reply[4] = static_cast<std::uint8_t>(op | 0x80);
        a.reply[6] = r[6];
        a.reply[7] = r[7];
        return a;
    };
    const std::uint8_t station[6] = {0x02, 0x00, 0x5e, 0x4a, static_cast<std::uint8_t>(dev.config.lan),
                                     static_cast<std::uint8_t>(dev.config.address)};
    if ((op == 1 || op == 2) && r.size() == head) {
        Answer a = reply(op == 1 ? Msg::Discovery : Msg::SlotTable, kController, op == 1 ? 6 : 6 + 16 * 6);
        std::copy(station, station + 6, a.reply.begin() + head);
        if (op == 2)
            for (const CardConfig& c : dev.config.cards) {
                const std::size_t at = head + 6 + 6 * static_cast<std::size_t>(c.slot);
                put_u16(a.reply, at, c.type, true);
                put_u32(a.reply, at + 2, c.state, true);
            }
        return a;
    }
    if (op == 5 && r.size() == head + 2) {
        Answer a = reply(Msg::Lock, kController, 3);  // the chassis grants; a card fault does not hit it
        a.reply[head] = r[head];
        a.reply[head + 1] = r[head + 1];
        a.reply[head + 2] = dev.image(r[head] == 0xff ? kController : r[head]) ? 1 : 0;
        return a;
    }
    if ((op != 3 && op != 4) || r.size() < head + 6) return std::nullopt;
    const std::uint8_t slot_byte = r[head];
    const std::uint16_t start = *read_u16_be(r, head + 2), count = *read_u16_be(r, head + 4);
    if (count > 1024 || (slot_byte != 0xff && slot_byte > 15)) return std::nullopt;
    const int target = slot_byte == 0xff ? kController : slot_byte;
    const Image* img = dev.image(target);
    if (!img) return std::nullopt;  // an empty slot does not answer
    if (op == 3) {
        if (r.size() != head + 6) return std::nullopt;
        Answer a = reply(Msg::Read, target, 6 + std::size_t{count});
        std::copy(r.begin() + head, r.begin() + head + 6, a.reply.begin() + head);
        const Bytes data = image_bytes(*img, start, count);
        std::copy(data.begin(), data.end(), a.reply.begin() + head + 6);
        return a;
    }
    if (r.size() != head + 6 + std::size_t{count}) return std::nullopt;
    Answer a = reply(Msg::Write, target, 6);
    std::copy(r.begin() + head, r.begin() + head + 6, a.reply.begin() + head);
    a.write = WriteEffect{target, start, Bytes(r.begin() + head + 6, r.end())};
    return a;
}

// ---- Orvel: the chassis protocol of our chassis server (outside/PROTOCOLS.md) ----

std::optional<Answer> orvel(const DeviceView& dev, std::span<const std::uint8_t> r) {
    constexpr std::size_t head = 8;
    if (r.size() < head || std::memcmp(r.data(), "ZCHQ", 4) != 0) return std::nullopt;
    const std::uint8_t op = r[4];
    auto reply = [&](Msg m, int slot, std::size_t body) {
        Answer a{m, slot, Bytes(head + body, 0), {}};
        std::memcpy(a.reply.data(), "ZCHA", 4);
        a.reply[4] = static_cast<std::uint8_t>(op | 0x80);
        a.reply[6] = r[6];
        a.reply[7] = r[7];
        return a;
    };
    if (op == 1 && r.size() == head) {
        const auto& mods = dev.config.modules;
        Answer a = reply(Msg::Discovery, kController, 4 + 6 * mods.size());
        put_u16(a.reply, head, dev.config.chassis_no, true);
        put_u16(a.reply, head + 2, static_cast<std::uint16_t>(mods.size()), true);
        for (std::size_t i = 0; i < mods.size(); ++i) {
            const std::size_t at = head + 4 + 6 * i;
            put_u16(a.reply, at, dev.config.chassis_no, true);
            a.reply[at + 2] = static_cast<std::uint8_t>(mods[i].slot);
            a.reply[at + 3] = static_cast<std::uint8_t>(mods[i].port);
            a.reply[at + 4] = static_cast<std::uint8_t>(mods[i].model);
            a.reply[at + 5] = static_cast<std::uint8_t>(mods[i].extra);
        }
        return a;
    }
    if (r.size() < head + 3) return std::nullopt;
    const int slot = r[head], port = r[head + 1], third = r[head + 2];
    if (op == 5 && r.size() == head + 3) {
        Answer a = reply(Msg::Lock, slot, 4);
        std::copy(r.begin() + head, r.begin() + head + 3, a.reply.begin() + head);
        a.reply[head + 3] = dev.image(orvel_image_key(slot, port, 0)) ? 1 : 0;
        return a;
    }
    if (third > 1) return std::nullopt;
    const int key = orvel_image_key(slot, port, third);
    const Image* img = dev.image(key);
    if (!img) return std::nullopt;  // no such module: no answer
    if (op == 3 && r.size() == head + 3) {
        Answer a = reply(Msg::Read, slot, 4 + 256);
        std::copy(r.begin() + head, r.begin() + head + 3, a.reply.begin() + head);
        const Bytes data = image_bytes(*img, 0, 256);
        std::copy(data.begin(), data.end(), a.reply.begin() + head + 4);
        return a;
    }
    if (op == 4 && r.size() >= head + 8) {
        const std::uint16_t start = *read_u16_be(r, head + 4), count = *read_u16_be(r, head + 6);
        if (r.size() != head + 8 + std::size_t{count} || start + count > 256) return std::nullopt;
        Answer a = reply(Msg::Write, slot, 4);
        std::copy(r.begin() + head, r.begin() + head + 3, a.reply.begin() + head);
        a.write = WriteEffect{key, start, Bytes(r.begin() + head + 8, r.end())};
        return a;
    }
    return std::nullopt;
}

// ---- Hevra: UDP discovery with magic and CRC, TCP data channel ----

constexpr char kQuenlor[7] = {'q', 'u', 'e', 'n', 'l', 'o', 'r'};

std::optional<Answer> hevra_udp(const DeviceView& dev, std::span<const std::uint8_t> r) {
    if (r.size() != 192 || std::memcmp(r.data(), kQuenlor, 7) != 0) return std::nullopt;
    if (read_u16_be(r, 28) != crc16_ccitt0(r.first(28))) return std::nullopt;
    Answer a{Msg::Discovery, kController, Bytes(192, 0), {}};
    std::memcpy(a.reply.data(), kQuenlor, 7);
    a.reply[7] = 0x20;
    a.reply[8] = 0x00;
    a.reply[9] = 0xFA;
    put_u32(a.reply, 10, dev.config.address, true);
    a.reply[14] = 0xCC;
    a.reply[15] = 0x02;
    std::copy(dev.config.station, dev.config.station + 6, a.reply.begin() + 16);
    put_u16(a.reply, 22, dev.config.chassis_id, true);
    put_u16(a.reply, 28, crc16_ccitt0(std::span<const std::uint8_t>(a.reply).first(28)), true);
    put_text(a.reply, 32, "Hevra-5160", 16);
    put_text(a.reply, 48, dev.config.serial, 32);
    return a;
}

constexpr std::size_t kHevraSlotTableSize = 104 + 52 * 16;  // 936

std::optional<Answer> hevra_tcp(const DeviceView& dev, std::span<const std::uint8_t> r) {
    const auto code = read_u16_be(r, 0);
    if (!code || r.size() != hevra_request_size(*code)) return std::nullopt;
    const NetDeviceConfig& c = dev.config;
    const bool station_ok = std::equal(c.station, c.station + 6, r.begin() + 20);
    auto head = [&](std::size_t size, std::uint16_t reply_code) {
        Bytes b(size, 0);
        std::copy(r.begin(), r.begin() + std::min<std::size_t>(32, size), b.begin());
        put_u16(b, 0, reply_code, true);
        return b;
    };
    switch (*code) {
    case 0x80FD: {
        if (r[19] != 0xFF) return std::nullopt;
        Answer a{Msg::Identify, kController, Bytes(100, 0), {}};
        put_u16(a.reply, 0, 0x80FD, true);
        put_u16(a.reply, 2, c.chassis_id, true);
        std::copy(c.station, c.station + 6, a.reply.begin() + 20);
        put_text(a.reply, 32, "Hevra-5160", 16);
        put_text(a.reply, 48, c.serial, 32);
        return a;
    }
    case 0x00C1: {
        if (read_u16_be(r, 2) != c.chassis_id || read_u16_be(r, 12) != 0xD001 || !station_ok) return std::nullopt;
        Answer a{Msg::SlotTable, kController, head(kHevraSlotTableSize, 0x80C1), {}};
        for (const CardConfig& card : c.cards) {
            const std::size_t i = static_cast<std::size_t>(card.slot);
            put_u16(a.reply, 104 + 52 * i, card.type, true);
            put_u32(a.reply, 152 + 52 * i, card.state, false);
        }
        return a;
    }
    case 0x00C2:
    case 0x00E0:
    case 0x00C3:
    case 0x00E1: {
        if (!station_ok) return std::nullopt;
        const bool card = *code == 0x00E0 || *code == 0x00E1;
        const bool is_write = *code == 0x00C3 || *code == 0x00E1;
        const int target = card ? r[26] : kController;
        const Image* img = dev.image(target);
        const std::size_t from = std::size_t{*read_u16_be(r, 28)} * 2, count = *read_u16_be(r, 30);
        if (!img || count > 1028) return std::nullopt;
        const std::uint16_t reply_code = static_cast<std::uint16_t>(*code | 0x8000);
        if (is_write) {
            Answer a{Msg::Write, target, head(100, reply_code), {}};
            a.write = WriteEffect{target, from, Bytes(r.begin() + 32, r.begin() + 32 + static_cast<std::ptrdiff_t>(count))};
            return a;
        }
        Answer a{Msg::Read, target, head(32 + std::max<std::size_t>(count, 256), reply_code), {}};
        const Bytes data = image_bytes(*img, from, count);
        std::copy(data.begin(), data.end(), a.reply.begin() + 32);
        return a;
    }
    default:
        return std::nullopt;
    }
}

}  // namespace

std::uint16_t crc16_ccitt0(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes) {
        crc = static_cast<std::uint16_t>(crc ^ (b << 8));
        for (int i = 0; i < 8; ++i)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::size_t hevra_request_size(std::uint16_t code) { return code == 0x00C3 || code == 0x00E1 ? 1060 : 100; }

std::vector<std::uint16_t> udp_ports(NetKind kind) {
    switch (kind) {
    case NetKind::Evra: return {kEvraPort};
    case NetKind::Kalder: return {kKalderPort};
    case NetKind::Gostel: return {kGostelPort};
    case NetKind::Hevra: return {kHevraUdpPort};
    case NetKind::Jessor: return {kJessorPort};
    case NetKind::Orvel: return {kOrvelPort};
    case NetKind::ZelServer: return {};
    }
    return {};
}

std::uint16_t tcp_port(NetKind kind) { return kind == NetKind::Hevra ? kHevraTcpPort : 0; }

std::optional<Answer> answer(const DeviceView& dev, Channel ch, std::span<const std::uint8_t> request) {
    switch (dev.config.kind->kind) {
    case NetKind::Evra: return ch == Channel::Udp ? evra(dev, request) : std::nullopt;
    case NetKind::Kalder: return ch == Channel::Udp ? kalder(dev, request) : std::nullopt;
    case NetKind::Gostel: return ch == Channel::Udp ? gostel(dev, request) : std::nullopt;
    case NetKind::Hevra: return ch == Channel::Udp ? hevra_udp(dev, request) : hevra_tcp(dev, request);
    case NetKind::Jessor: return ch == Channel::Udp ? jessor(dev, request) : std::nullopt;
    case NetKind::Orvel: return ch == Channel::Udp ? orvel(dev, request) : std::nullopt;
    case NetKind::ZelServer: return std::nullopt;
    }
    return std::nullopt;
}

void falsify(NetKind kind, Channel ch, Msg msg, Bytes& b, NetFault fault) {
    const bool vklp = kind == NetKind::Evra || kind == NetKind::Kalder;
    const bool big = kind == NetKind::Evra;
    switch (fault) {
    case NetFault::WrongLength:
        // Hevra reads need at least 256 bytes: a short one must fall below that.
        if (kind == NetKind::Hevra && ch == Channel::Tcp && msg == Msg::Read) b.resize(255);
        else if (!b.empty()) b.pop_back();
        break;
    case NetFault::WrongMagic:
        if (vklp && b.size() >= 4) b[3] ^= 0x20;
        if (kind == NetKind::Hevra && ch == Channel::Udp && !b.empty()) b[0] ^= 0x20;
        break;
    case NetFault::WrongCommand:
        if (vklp && b.size() >= 18) put_u16(b, 16, static_cast<std::uint16_t>(*read_u16(b, 16, big) + 0x20), big);
        if (kind == NetKind::Gostel && b.size() >= 8) put_u16(b, 6, static_cast<std::uint16_t>(*read_u16_le(b, 6) + 0x20), false);
        if (kind == NetKind::Hevra && ch == Channel::Tcp && b.size() >= 2) b[0] ^= 0x01;
        if ((kind == NetKind::Jessor || kind == NetKind::Orvel) && b.size() >= 5) b[4] ^= 0x10;
        break;
    case NetFault::WrongSubcommand:
        if (kind == NetKind::Gostel && (msg == Msg::Read || msg == Msg::Write) && b.size() >= 10)
            put_u16(b, 8, static_cast<std::uint16_t>(*read_u16_le(b, 8) + 0x10), false);
        break;
    case NetFault::OtherByteOrder:
        if (vklp && b.size() >= 20) {
            std::reverse(b.begin(), b.begin() + 4);
            for (std::size_t at : {4, 8, 12}) std::reverse(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 4));
            for (std::size_t at : {16, 18}) std::swap(b[at], b[at + 1]);
            if (kind == NetKind::Kalder && msg == Msg::Read && b.size() >= 22) std::swap(b[20], b[21]);
        }
        break;
    case NetFault::LockRefused:
        if (kind == NetKind::Orvel && msg == Msg::Lock && b.size() == 12) b[11] = 0;
        break;
    case NetFault::BadCount:
        if (kind == NetKind::Orvel && msg == Msg::Discovery && b.size() >= 12) {
            b.resize(12);
            put_u16(b, 10, 0xffff, true);
        }
        break;
    case NetFault::BadCrc:
        if (kind == NetKind::Hevra && ch == Channel::Udp && b.size() >= 30) b[29] ^= 0x5A;
        break;
    case NetFault::ShortTable:
        // Eight 52-byte entries from byte 104, nothing after them.
        if (kind == NetKind::Hevra && ch == Channel::Tcp && msg == Msg::SlotTable && b.size() > 104 + 8 * 52)
            b.resize(104 + 8 * 52);
        break;
    default:
        break;
    }
}

}  // namespace lab::net
