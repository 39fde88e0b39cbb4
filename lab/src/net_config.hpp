// Network instruments of the lab: [device NAME] sections whose kind is one of
// the network kinds (evra, kalder, gostel, hevra). Kinds and faults are tables,
// like the USB ones; every key and value is validated.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The row of a name table (kinds, faults) with this name; nullptr if none.
template <class Row>
const Row* find_named(std::span<const Row> rows, std::string_view name) {
    for (const auto& r : rows)
        if (r.name == name) return &r;
    return nullptr;
}

typedef struct _GKeyFile GKeyFile;

namespace lab {

enum class NetKind { Evra, Kalder, Gostel, Hevra, Jessor, Orvel, ZelServer };

// Bit per kind, for the kinds a fault or key applies to.
constexpr unsigned kind_bit(NetKind k) { return 1u << static_cast<unsigned>(k); }
constexpr unsigned kAllNetKinds = 0x7f;

struct NetKindInfo {
    std::string_view name;
    NetKind kind;
    bool has_cards;  // takes cards= (a chassis with slots)
    std::string_view description;
};

enum class NetFault {
    None,
    Silent,          // never answers
    Late,            // answers after late-ms
    Stale,           // the reply to the previous request first, then the right one
    WrongLength,     // replies one byte short
    WrongMagic,      // magic altered (evra, kalder, hevra discovery)
    WrongCommand,    // command / reply code altered
    WrongSubcommand, // gostel: EEPROM reply with another sub-command
    Duplicate,       // every reply sent twice
    OtherByteOrder,  // evra/kalder: reply in the other protocol's byte order
    BadCrc,          // hevra: discovery reply with a wrong CRC
    NoIdentify,      // hevra: no reply to the identify request
    Vanish,          // unplugged after answering its first EEPROM request
    OwnEcho,         // hevra: the client's own discovery broadcast comes back to it
    BroadcastReply,  // UDP replies go to 255.255.255.255 at the client's port
    SubnetReply,     // UDP replies go to the lan's broadcast address (198.18.<lan>.255)
    NamesBroadcast,  // evra/kalder: the discovery reply names the lan's broadcast address
    ShortTable,      // hevra: a slot table of eight entries only
    GoneAfterDiscovery,  // hevra: unplugged after answering its first discovery request
    LockRefused,     // orvel: refuses every port lock
    BadCount,        // orvel: reports its inventory as not ready (count 0xFFFF)
};

// Message kinds a fault can be narrowed to (fault-message=), one bit each, in
// the order of net::Msg; `kinds` says which kinds have such a message.
struct NetMessageInfo {
    std::string_view name;
    unsigned kinds;
};
std::span<const NetMessageInfo> net_messages();

struct NetFaultInfo {
    std::string_view name;
    NetFault fault;
    unsigned kinds;  // kind_bit() mask of the kinds that know it
    bool needs_delay;
    std::string_view description;
};

// One slot-table entry of a chassis. state: Gostel status (1, 2 = present),
// Hevra and Jessor presence (1, 9 = present); any other value is an empty slot entry.
struct CardConfig {
    int slot = 0;
    std::uint16_t type = 0;
    std::uint32_t state = 0;
    std::string serial;  // serial in a new image
    bool present = false;
};

// One port of an Orvel chassis as its inventory lists it (in report order,
// repeats allowed). Its images: sub-item 0 and 1 at orvel_image_key().
struct OrvelModule {
    int slot = 0;
    int port = 0;
    int model = 0;
    int extra = 0;
};
inline int orvel_image_key(int slot, int port, int sub) { return 1000 + slot * 512 + port * 2 + sub; }

struct NetDeviceConfig {
    std::string name;
    const NetKindInfo* kind = nullptr;
    int lan = 0;               // 0: lan0 (lab0), 1: lan1 (lab1)
    std::uint32_t address = 0; // host byte order, 198.18.<lan>.x
    std::string serial;
    NetFault fault = NetFault::None;
    unsigned late_ms = 0;
    int fault_slot = -1;       // >= 0: the fault hits only this card's EEPROM requests
    unsigned fault_messages = 0;  // bit per net_messages() row; 0: every message
    unsigned silent_first = 0;    // the first N requests the fault selects go unanswered
    std::vector<CardConfig> cards;
    std::uint16_t chassis_id = 0x5160;       // hevra
    std::uint8_t station[6] = {};  // hevra; default 02:00:5e:12:<lan>:<host>
    bool station_set = false;
    std::uint16_t chassis_no = 1;            // orvel
    std::vector<OrvelModule> modules;        // orvel
};

const NetKindInfo* find_net_kind(std::string_view name);
std::span<const NetKindInfo> net_kinds();
const NetFaultInfo* find_net_fault(std::string_view name);
std::span<const NetFaultInfo> net_faults();

constexpr std::uint32_t kLabNet = 0xC6120000;  // 198.18.0.0
inline std::uint32_t lan_host(int lan) { return kLabNet | (static_cast<std::uint32_t>(lan) << 8) | 1; }
std::string dotted(std::uint32_t host_order);

// Parses one [device NAME] section of a network kind. Throws ConfigError.
NetDeviceConfig parse_net_device(GKeyFile* kf, const std::string& group, const std::string& name);
// Cross-device checks (addresses unique) and automatic addresses. Throws ConfigError.
void finish_net_devices(std::vector<NetDeviceConfig>& devices);

}  // namespace lab
