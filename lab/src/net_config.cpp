#include "net_config.hpp"

#include <arpa/inet.h>
#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>

#include "config.hpp"

namespace lab {

namespace {

const NetKindInfo kNetKinds[] = {
    {"evra", NetKind::Evra, false, "Evra traffic generator, UDP 5006, big-endian \"VKLP\" header"},
    {"kalder", NetKind::Kalder, false, "Kalder media-converter chassis, UDP 5016, little-endian \"PLKV\" header"},
    {"gostel", NetKind::Gostel, true, "Gostel-2160 card chassis, UDP 8888"},
    {"hevra", NetKind::Hevra, true, "Hevra-5160 card chassis, UDP 8000 discovery, TCP 8001"},
    {"jessor", NetKind::Jessor, true, "Ilvane-Jessor chassis, Vorn chassis protocol on UDP 7401"},
    {"orvel", NetKind::Orvel, false, "Orvel chassis, chassis protocol on UDP 7300 (served by ZelServerAP)"},
    {"zelserver", NetKind::ZelServer, false, "our chassis server ZelServerAP, running in its own namespace"},
};

constexpr unsigned kEvra = kind_bit(NetKind::Evra), kKalder = kind_bit(NetKind::Kalder),
                   kGostel = kind_bit(NetKind::Gostel), kHevra = kind_bit(NetKind::Hevra),
                   kOrvel = kind_bit(NetKind::Orvel);

const NetFaultInfo kNetFaults[] = {
    {"none", NetFault::None, kAllNetKinds, false, "answers correctly"},
    {"silent", NetFault::Silent, kAllNetKinds, false, "never answers"},
    {"late", NetFault::Late, kAllNetKinds, true, "answers after late-ms milliseconds"},
    {"stale", NetFault::Stale, kAllNetKinds, false, "sends the reply to the previous request before the right one"},
    {"wrong-length", NetFault::WrongLength, kAllNetKinds, false, "replies one byte short"},
    {"wrong-magic", NetFault::WrongMagic, kEvra | kKalder | kHevra, false, "replies with an altered magic"},
    {"wrong-command", NetFault::WrongCommand, kAllNetKinds, false, "replies with another command / reply code"},
    {"wrong-subcommand", NetFault::WrongSubcommand, kGostel, false, "EEPROM replies carry another sub-command"},
    {"duplicate", NetFault::Duplicate, kAllNetKinds, false, "sends every reply twice"},
    {"other-byte-order", NetFault::OtherByteOrder, kEvra | kKalder, false,
     "replies in the other protocol's byte order (magic and header fields)"},
    {"bad-crc", NetFault::BadCrc, kHevra, false, "discovery reply with a wrong CRC"},
    {"no-identify", NetFault::NoIdentify, kHevra, false, "answers discovery but not the identify request"},
    {"lock-refused", NetFault::LockRefused, kOrvel, false, "refuses every port lock"},
    {"bad-count", NetFault::BadCount, kOrvel, false, "reports its inventory as not ready (count 0xFFFF)"},
    {"own-echo", NetFault::OwnEcho, kHevra, false,
     "answers, and the client's own discovery broadcast comes back to it from its own address"},
    {"vanish", NetFault::Vanish, kAllNetKinds, false,
     "answers its first EEPROM request, then its link goes down (unplugged)"},
    {"broadcast-reply", NetFault::BroadcastReply, kAllNetKinds, false,
     "sends every UDP reply to 255.255.255.255 at the client's port"},
    {"subnet-broadcast-reply", NetFault::SubnetReply, kAllNetKinds, false,
     "sends every UDP reply to its lan's broadcast address at the client's port"},
    {"names-broadcast", NetFault::NamesBroadcast, kEvra | kKalder, false,
     "its discovery reply names the lan's broadcast address as the device's address"},
    {"short-table", NetFault::ShortTable, kHevra, false, "its slot-table reply holds the first eight entries only"},
    {"gone-after-discovery", NetFault::GoneAfterDiscovery, kHevra, false,
     "answers its first discovery request, then its link goes down (unplugged)"},
};

constexpr unsigned kJessor = kind_bit(NetKind::Jessor);

// In the order of net::Msg.
const NetMessageInfo kNetMessages[] = {
    {"discovery", kAllNetKinds & ~kind_bit(NetKind::ZelServer)},
    {"slot-table", kGostel | kHevra | kJessor},
    {"identify", kHevra},
    {"read", kAllNetKinds & ~kind_bit(NetKind::ZelServer)},
    {"write", kAllNetKinds & ~kind_bit(NetKind::ZelServer)},
    {"lock", kOrvel | kJessor},
};

struct Keys {
    GKeyFile* kf;
    const std::string& group;

    [[noreturn]] void fail(std::string_view key, std::string_view what) const {
        throw ConfigError("[" + group + "] " + std::string(key) + ": " + std::string(what));
    }
    bool has(const char* key) const { return g_key_file_has_key(kf, group.c_str(), key, nullptr); }
    std::string str(const char* key, bool required, std::string fallback = {}) const {
        if (!has(key)) {
            if (required) fail(key, "missing");
            return fallback;
        }
        gchar* v = g_key_file_get_string(kf, group.c_str(), key, nullptr);
        if (!v) fail(key, "unreadable");
        std::string out(v);
        g_free(v);
        if (auto hash = out.find(" #"); hash != std::string::npos) out.erase(hash);
        if (auto tab = out.find("\t#"); tab != std::string::npos) out.erase(tab);
        while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
        if (required && out.empty()) fail(key, "empty");
        return out;
    }
    void only_keys(std::initializer_list<std::string_view> allowed) const {
        gsize n = 0;
        gchar** keys = g_key_file_get_keys(kf, group.c_str(), &n, nullptr);
        std::string bad;
        for (gsize i = 0; keys && i < n && bad.empty(); ++i)
            if (std::find(allowed.begin(), allowed.end(), std::string_view(keys[i])) == allowed.end()) bad = keys[i];
        g_strfreev(keys);
        if (!bad.empty()) fail(bad, "unknown key (or not used by this kind)");
    }
};

bool parse_number(const std::string& s, long lo, long hi, long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto pos = s.find(sep, start);
        std::string p = s.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        while (!p.empty() && std::isspace(static_cast<unsigned char>(p.front()))) p.erase(p.begin());
        while (!p.empty() && std::isspace(static_cast<unsigned char>(p.back()))) p.pop_back();
        parts.push_back(p);
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return parts;
}

bool printable(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// cards=slot:type:state[:serial],...
std::vector<CardConfig> parse_cards(const Keys& k, NetKind kind, const std::string& serial) {
    std::vector<CardConfig> cards;
    const std::string text = k.str("cards", false);
    if (text.empty()) return cards;
    std::set<int> slots;
    for (const std::string& item : split(text, ',')) {
        const auto f = split(item, ':');
        long slot = 0, type = 0, state = 0;
        if ((f.size() != 3 && f.size() != 4) || !parse_number(f[0], 0, 15, slot) || !parse_number(f[1], 0, 0xffff, type) ||
            !parse_number(f[2], 0, 0xffffffffL, state))
            k.fail("cards", "'" + item + "' is not slot:type:state[:serial] (slot 0-15, type 0-0xFFFF)");
        if (!slots.insert(static_cast<int>(slot)).second) k.fail("cards", "slot " + f[0] + " listed twice");
        CardConfig c;
        c.slot = static_cast<int>(slot);
        c.type = static_cast<std::uint16_t>(type);
        c.state = static_cast<std::uint32_t>(state);
        c.present = kind == NetKind::Gostel ? (state == 1 || state == 2) : (state == 1 || state == 9);
        c.serial = f.size() == 4 ? f[3] : serial + "-S" + std::to_string(slot);
        if (c.serial.empty() || !printable(c.serial) || c.serial.size() > 60 || c.serial.find('#') != std::string::npos)
            k.fail("cards", "serial of slot " + f[0] + " must be printable ASCII, 1-60 characters");
        cards.push_back(c);
    }
    std::sort(cards.begin(), cards.end(), [](const CardConfig& a, const CardConfig& b) { return a.slot < b.slot; });
    return cards;
}

// chassis=N, modules=slot:port:model[:extra],... in report order (repeats
// allowed); fault-slot=S picks the slot whose EEPROM requests the fault hits.
void parse_orvel(const Keys& k, NetDeviceConfig& d) {
    long v = 0;
    if (k.has("chassis")) {
        if (!parse_number(k.str("chassis", true), 0, 0xffff, v)) k.fail("chassis", "not a number in 0..0xFFFF");
        d.chassis_no = static_cast<std::uint16_t>(v);
    }
    const std::string text = k.str("modules", false);
    std::set<int> keys;
    for (const std::string& item : text.empty() ? std::vector<std::string>{} : split(text, ',')) {
        const auto f = split(item, ':');
        long slot = 0, port = 0, model = 0, extra = 0;
        if ((f.size() != 3 && f.size() != 4) || !parse_number(f[0], 0, 255, slot) || !parse_number(f[1], 0, 255, port) ||
            !parse_number(f[2], 0, 255, model) || (f.size() == 4 && !parse_number(f[3], 0, 255, extra)))
            k.fail("modules", "'" + item + "' is not slot:port:model[:extra] (each 0-255)");
        d.modules.push_back({static_cast<int>(slot), static_cast<int>(port), static_cast<int>(model), static_cast<int>(extra)});
        for (int sub = 0; sub < 2; ++sub) {
            const int key = orvel_image_key(static_cast<int>(slot), static_cast<int>(port), sub);
            if (!keys.insert(key).second) continue;
            CardConfig c;
            c.slot = key;
            c.present = true;
            c.serial = d.serial + "-" + f[0] + "-" + f[1] + (sub ? "B" : "");
            d.cards.push_back(c);
        }
    }
    if (k.has("fault-slot")) {
        if (!parse_number(k.str("fault-slot", true), 0, 255, v)) k.fail("fault-slot", "not a slot number 0-255");
        if (d.fault == NetFault::None && !d.silent_first) k.fail("fault-slot", "needs a fault= or silent-first=");
        d.fault_slot = static_cast<int>(v);
    }
}

}  // namespace

std::span<const NetKindInfo> net_kinds() { return kNetKinds; }
std::span<const NetFaultInfo> net_faults() { return kNetFaults; }
std::span<const NetMessageInfo> net_messages() { return kNetMessages; }

const NetKindInfo* find_net_kind(std::string_view name) { return find_named(std::span<const NetKindInfo>(kNetKinds), name); }

const NetFaultInfo* find_net_fault(std::string_view name) { return find_named(std::span<const NetFaultInfo>(kNetFaults), name); }

std::string dotted(std::uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xff) + "." + std::to_string((a >> 8) & 0xff) +
           "." + std::to_string(a & 0xff);
}

NetDeviceConfig parse_net_device(GKeyFile* kf, const std::string& group, const std::string& name) {
    const Keys k{kf, group};
    NetDeviceConfig d;
    d.name = name;
    d.kind = find_net_kind(k.str("kind", true));
    if (!d.kind) k.fail("kind", "unknown kind");
    if (d.kind->kind == NetKind::Orvel)
        k.only_keys({"kind", "network", "address", "serial", "fault", "late-ms", "fault-slot", "fault-message",
                     "silent-first", "chassis", "modules"});
    else if (d.kind->kind == NetKind::ZelServer)
        k.only_keys({"kind", "network", "address", "serial"});
    else if (d.kind->kind == NetKind::Hevra)
        k.only_keys({"kind", "network", "address", "serial", "fault", "late-ms", "fault-slot", "fault-message",
                     "silent-first", "cards", "chassis-id", "station"});
    else if (d.kind->has_cards)
        k.only_keys({"kind", "network", "address", "serial", "fault", "late-ms", "fault-slot", "fault-message",
                     "silent-first", "cards"});
    else
        k.only_keys({"kind", "network", "address", "serial", "fault", "late-ms", "fault-message", "silent-first"});

    const std::string net = k.str("network", false, "lan0");
    if (net == "lan0") d.lan = 0;
    else if (net == "lan1") d.lan = 1;
    else k.fail("network", "'" + net + "' is not lan0 or lan1");

    const std::string addr = k.str("address", false);
    if (!addr.empty()) {
        in_addr a{};
        if (inet_pton(AF_INET, addr.c_str(), &a) != 1) k.fail("address", "'" + addr + "' is not an IPv4 address");
        d.address = ntohl(a.s_addr);
        const std::uint32_t host = d.address & 0xff;
        if ((d.address & 0xffffff00u) != (lan_host(d.lan) & 0xffffff00u) || host < 2 || host > 254)
            k.fail("address", addr + " is not in 198.18." + std::to_string(d.lan) + ".2-254 (" + net + ")");
    }

    d.serial = k.str("serial", true);
    if (!printable(d.serial) || d.serial.size() > 60) k.fail("serial", "must be printable ASCII, at most 60 characters");

    const std::string fault = k.str("fault", false, "none");
    const NetFaultInfo* fi = find_net_fault(fault);
    if (!fi) k.fail("fault", "unknown fault '" + fault + "'");
    if (!(fi->kinds & kind_bit(d.kind->kind))) k.fail("fault", "'" + fault + "' is not a fault of kind " + std::string(d.kind->name));
    d.fault = fi->fault;
    long v = 0;
    if (k.has("late-ms")) {
        if (!fi->needs_delay) k.fail("late-ms", "only used with fault=late");
        if (!parse_number(k.str("late-ms", true), 1, 60000, v)) k.fail("late-ms", "not a number in 1..60000");
        d.late_ms = static_cast<unsigned>(v);
    } else if (fi->needs_delay) {
        k.fail("late-ms", "missing (needed by fault=" + fault + ")");
    }

    // silent-first=N: the first N requests the fault selects go unanswered;
    // fault-message= narrows the fault (and silent-first) to these messages.
    if (k.has("silent-first")) {
        if (!parse_number(k.str("silent-first", true), 1, 1000, v)) k.fail("silent-first", "not a number in 1..1000");
        d.silent_first = static_cast<unsigned>(v);
    }
    if (k.has("fault-message")) {
        for (const std::string& m : split(k.str("fault-message", true), ',')) {
            const auto rows = net_messages();
            const auto it = std::find_if(rows.begin(), rows.end(), [&](const NetMessageInfo& r) { return r.name == m; });
            if (it == rows.end()) k.fail("fault-message", "unknown message '" + m + "'");
            if (!(it->kinds & kind_bit(d.kind->kind)))
                k.fail("fault-message", "kind " + std::string(d.kind->name) + " has no " + m + " message");
            d.fault_messages |= 1u << static_cast<unsigned>(it - rows.begin());
        }
        if (d.fault == NetFault::None && !d.silent_first) k.fail("fault-message", "needs a fault= or silent-first=");
    }

    if (d.kind->has_cards) {
        d.cards = parse_cards(k, d.kind->kind, d.serial);
        if (k.has("fault-slot")) {
            if (!parse_number(k.str("fault-slot", true), 0, 15, v)) k.fail("fault-slot", "not a slot number 0-15");
            if (d.fault == NetFault::None && !d.silent_first) k.fail("fault-slot", "needs a fault= or silent-first=");
            d.fault_slot = static_cast<int>(v);
        }
    }
    if (d.kind->kind == NetKind::Orvel) parse_orvel(k, d);
    if (d.kind->kind == NetKind::Hevra) {
        if (k.has("chassis-id")) {
            if (!parse_number(k.str("chassis-id", true), 0, 0xffff, v)) k.fail("chassis-id", "not a number in 0..0xFFFF");
            d.chassis_id = static_cast<std::uint16_t>(v);
        }
        const std::string st = k.str("station", false);
        if (!st.empty()) {
            const auto parts = split(st, ':');
            if (parts.size() != 6) k.fail("station", "must be six hex bytes like 02:00:5e:51:60:01");
            for (std::size_t i = 0; i < 6; ++i) {
                long b = 0;
                if (parts[i].size() != 2 || !parse_number("0x" + parts[i], 0, 255, b))
                    k.fail("station", "must be six hex bytes like 02:00:5e:51:60:01");
                d.station[i] = static_cast<std::uint8_t>(b);
            }
            d.station_set = true;
        }
    }
    return d;
}

void finish_net_devices(std::vector<NetDeviceConfig>& devices) {
    std::set<std::uint32_t> used;
    for (const auto& d : devices)
        if (d.address && !used.insert(d.address).second)
            throw ConfigError("[device " + d.name + "] address: " + dotted(d.address) + " is used twice");
    // Devices without address= take the next free one from .10 up, in config order.
    std::uint32_t next[2] = {lan_host(0) - 1 + 10, lan_host(1) - 1 + 10};
    for (auto& d : devices) {
        if (!d.address) {
            std::uint32_t& n = next[d.lan];
            while (used.count(n)) ++n;
            if ((n & 0xff) > 254) throw ConfigError("[device " + d.name + "]: no free address left on lan" + std::to_string(d.lan));
            d.address = n;
            used.insert(n);
        }
        if (d.kind->kind == NetKind::Hevra && !d.station_set) {
            const std::uint8_t st[6] = {0x02, 0x00, 0x5e, 0x12, static_cast<std::uint8_t>(d.lan),
                                        static_cast<std::uint8_t>(d.address & 0xff)};
            std::copy(st, st + 6, d.station);
        }
    }
}

}  // namespace lab
