#include "config.hpp"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <set>

#include "protocol.hpp"

namespace lab {

namespace {

const KindInfo kKinds[] = {
    // The MPUSB custom driver over bulk endpoints: vendor-specific interface.
    {"mpusb", 0xff, false},
    // The maker's pipe driver: a plain interface, reached through pipe nodes.
    {"pipe", 0x00, true},
    // The HID class driver: interrupt endpoints, reached through /dev/hidrawN.
    {"hid", 0x03, false, true},
};

const FaultInfo kFaults[] = {
    {"none", Fault::None, false, false, "answers correctly"},
    {"silent", Fault::Silent, false, false, "accepts requests, never replies"},
    {"wrong-address", Fault::WrongAddress, false, false, "replies with address+1"},
    {"wrong-length", Fault::WrongLength, false, false, "replies with length-1"},
    {"stale", Fault::Stale, false, false, "replies to the previous request first"},
    {"vanish", Fault::Vanish, false, false, "disappears on its first request (or late-ms milliseconds after it)"},
    {"late", Fault::Late, true, false, "replies after late-ms milliseconds"},
    {"garble", Fault::Garble, false, false, "stores a write with its first data byte inverted, echoes it as sent"},
    {"ff-reply", Fault::FfReply, false, true, "sends a reply whose byte 0 is 0xFF before each real one"},
    {"no-download-ack", Fault::NoDownloadAck, false, true, "acknowledges only the first ack-chunks chunks of a download"},
    {"no-clear-ack", Fault::NoClearAck, false, true, "never confirms log clearing"},
    {"pad-start-busy", Fault::PadStartBusy, false, true,
     "answers a pad-data start request only with busy reports, one every 50 ms for 15 s"},
};

using KeyFile = std::unique_ptr<GKeyFile, decltype(&g_key_file_free)>;

struct Section {
    const std::string& group;
    GKeyFile* kf;

    [[noreturn]] void fail(std::string_view key, std::string_view what) const {
        throw ConfigError("[" + group + "] " + std::string(key) + ": " + std::string(what));
    }

    bool has(const char* key) const { return g_key_file_has_key(kf, group.c_str(), key, nullptr); }

    std::string str(const char* key, bool required, std::string fallback = {}) const {
        if (!has(key)) {
            if (required) fail(key, "missing");
            return fallback;
        }
        GError* err = nullptr;
        gchar* v = g_key_file_get_string(kf, group.c_str(), key, &err);
        if (!v) {
            std::string msg = err ? err->message : "unreadable";
            g_clear_error(&err);
            fail(key, msg);
        }
        std::string out(v);
        g_free(v);
        // Trailing comments after values ("x  # note") are allowed.
        if (auto hash = out.find(" #"); hash != std::string::npos) out.erase(hash);
        if (auto tab = out.find("\t#"); tab != std::string::npos) out.erase(tab);
        while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
        if (required && out.empty()) fail(key, "empty");
        return out;
    }

    long number(const char* key, bool required, long fallback, long lo, long hi) const {
        const std::string s = str(key, required);
        if (s.empty()) return fallback;
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(s.c_str(), &end, 0);
        if (errno != 0 || end == s.c_str() || *end != '\0' || v < lo || v > hi) {
            fail(key, "'" + s + "' is not a number in " + std::to_string(lo) + ".." + std::to_string(hi));
        }
        return v;
    }

    void only_keys(std::initializer_list<std::string_view> allowed) const {
        gsize n = 0;
        gchar** keys = g_key_file_get_keys(kf, group.c_str(), &n, nullptr);
        std::string bad;
        for (gsize i = 0; keys && i < n; ++i) {
            if (std::find(allowed.begin(), allowed.end(), std::string_view(keys[i])) == allowed.end()) {
                bad = keys[i];
                break;
            }
        }
        g_strfreev(keys);
        if (!bad.empty()) fail(bad, "unknown key");
    }
};

constexpr std::size_t kMaxPipeDeviceName = 20;

bool valid_name(std::string_view n) {
    if (n.empty() || n.size() > 64 || n[0] == '.') return false;
    return std::all_of(n.begin(), n.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
    });
}

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, returned in lower case.
bool normalise_guid(std::string& g) {
    if (g.size() != 38 || g.front() != '{' || g.back() != '}') return false;
    for (std::size_t i = 1; i < 37; ++i) {
        const bool dash = (i == 9 || i == 14 || i == 19 || i == 24);
        if (dash ? g[i] != '-' : !std::isxdigit(static_cast<unsigned char>(g[i]))) return false;
        g[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(g[i])));
    }
    return true;
}

bool printable(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

}  // namespace

std::span<const KindInfo> kinds() { return kKinds; }
std::span<const FaultInfo> faults() { return kFaults; }

const KindInfo* find_kind(std::string_view name) { return find_named(std::span<const KindInfo>(kKinds), name); }

const FaultInfo* find_fault(std::string_view name) { return find_named(std::span<const FaultInfo>(kFaults), name); }

LabConfig load_config(const std::filesystem::path& file) {
    KeyFile kf(g_key_file_new(), &g_key_file_free);
    GError* err = nullptr;
    if (!g_key_file_load_from_file(kf.get(), file.c_str(), G_KEY_FILE_NONE, &err)) {
        std::string msg = err ? err->message : "cannot load";
        g_clear_error(&err);
        throw ConfigError(file.string() + ": " + msg);
    }

    LabConfig cfg;
    cfg.file = std::filesystem::absolute(file);
    const auto base = cfg.file.parent_path();
    cfg.state_dir = base / "lab-state";

    gsize ngroups = 0;
    gchar** groups = g_key_file_get_groups(kf.get(), &ngroups);
    std::vector<std::string> names(groups, groups + ngroups);
    g_strfreev(groups);

    std::set<std::string> seen;
    for (const std::string& group : names) {
        const Section s{group, kf.get()};
        if (group == "lab") {
            s.only_keys({"state-dir", "record"});
            const std::string rec = s.str("record", false);
            if (!rec.empty()) {
                std::filesystem::path p(rec);
                cfg.record = p.is_absolute() ? p : base / p;
            }
            const std::string dir = s.str("state-dir", false);
            if (!dir.empty()) {
                std::filesystem::path p(dir);
                cfg.state_dir = p.is_absolute() ? p : base / p;
            }
            continue;
        }
        const auto space = group.find(' ');
        const std::string type = group.substr(0, space);
        const std::string name = space == std::string::npos ? "" : group.substr(space + 1);
        if (type != "hub" && type != "device" && type != "serial" && type != "segment") throw ConfigError("[" + group + "]: unknown section");
        if (!valid_name(name))
            throw ConfigError("[" + group + "]: the name must be 1-64 of A-Z a-z 0-9 . _ -");
        if (!seen.insert(name).second) throw ConfigError("[" + group + "]: name used twice");

        if (type == "segment") {
            cfg.segment_devices.push_back(
                parse_segment(kf.get(), group, name, static_cast<int>(cfg.segment_devices.size())));
            continue;
        }
        if (type == "serial") {
            cfg.serial_ports.push_back(parse_serial(kf.get(), group, name));
            continue;
        }
        if (type == "hub") {
            s.only_keys({"port", "parent", "ports"});
            HubConfig h;
            h.name = name;
            h.port = static_cast<int>(s.number("port", true, 0, 1, 15));
            h.parent = s.str("parent", false);
            h.ports = static_cast<int>(s.number("ports", false, 4, 1, 15));
            cfg.hubs.push_back(h);
            continue;
        }

        if (find_net_kind(s.str("kind", true))) {
            cfg.net_devices.push_back(parse_net_device(kf.get(), group, name));
            continue;
        }
        s.only_keys({"kind", "vid", "pid", "bcd-device", "manufacturer", "product", "serial", "class-guid",
                     "port", "parent", "protocol", "fault", "late-ms", "ack-chunks", "clear-ms", "logs",
                     "fault-from-write", "arrive-on"});
        DeviceConfig d;
        d.name = name;
        const std::string kind = s.str("kind", true);
        d.kind = find_kind(kind);
        if (!d.kind) s.fail("kind", "unknown kind '" + kind + "'");
        d.vid = static_cast<std::uint16_t>(s.number("vid", true, 0, 0, 0xffff));
        d.pid = static_cast<std::uint16_t>(s.number("pid", true, 0, 0, 0xffff));
        d.bcd_device = static_cast<std::uint16_t>(s.number("bcd-device", false, 0x0100, 0, 0xffff));
        d.manufacturer = s.str("manufacturer", false, "Quenlor");
        d.product = s.str("product", true);
        d.serial = s.str("serial", true);
        if (!printable(d.product) || d.product.size() > 126) s.fail("product", "must be printable ASCII, at most 126 characters");
        if (!printable(d.manufacturer) || d.manufacturer.size() > 126) s.fail("manufacturer", "must be printable ASCII, at most 126 characters");
        if (!printable(d.serial) || d.serial.size() > 60) s.fail("serial", "must be printable ASCII, at most 60 characters");
        d.port = static_cast<int>(s.number("port", true, 0, 1, 15));
        if (s.has("arrive-on")) {
            const std::filesystem::path p = s.str("arrive-on", true);
            d.arrive_on = p.is_absolute() ? p : base / p;
        }
        d.parent = s.str("parent", false);
        const std::string proto = s.str("protocol", true);
        d.protocol = find_protocol(proto);
        if (!d.protocol) s.fail("protocol", "unknown protocol '" + proto + "'");
        const std::string fault = s.str("fault", false, "none");
        const FaultInfo* fi = find_fault(fault);
        if (!fi) s.fail("fault", "unknown fault '" + fault + "'");
        d.fault = fi->fault;
        d.late_ms = static_cast<unsigned>(s.number("late-ms", false, 0, 1, 60000));
        if (fi->needs_delay && d.late_ms == 0) s.fail("late-ms", "missing (needed by fault=" + fault + ")");
        if (!fi->needs_delay && fi->fault != Fault::Vanish && s.has("late-ms"))
            s.fail("late-ms", "only used with fault=late and fault=vanish");
        if (fi->command_protocol_only && !d.protocol->responder)
            s.fail("fault", "fault=" + fault + " needs protocol=tavik");
        d.fault_from_write = static_cast<int>(s.number("fault-from-write", false, -1, 0, 100000));
        if (d.fault == Fault::Garble && d.protocol->responder) s.fail("fault", "fault=garble needs a frame protocol (echo8)");
        if (s.has("fault-from-write") && d.protocol->responder)
            s.fail("fault-from-write", "only used with frame protocols (echo8)");
        if (s.has("fault-from-write") && d.fault == Fault::None)
            s.fail("fault-from-write", "needs a fault");
        d.ack_chunks = static_cast<int>(s.number("ack-chunks", false, 0, 0, 65535));
        if (s.has("ack-chunks") && d.fault != Fault::NoDownloadAck) s.fail("ack-chunks", "only used with fault=no-download-ack");
        d.clear_ms = static_cast<unsigned>(s.number("clear-ms", false, 1500, 0, 600000));
        if (s.has("clear-ms") && !d.protocol->responder) s.fail("clear-ms", "only used with protocol=tavik");
        d.logs = static_cast<int>(s.number("logs", false, 3, 0, 1000));
        if (s.has("logs") && !d.protocol->responder) s.fail("logs", "only used with protocol=tavik");
        d.class_guid = s.str("class-guid", d.kind->pipe_nodes);
        if (d.kind->pipe_nodes) {
            // Its nodes' umockdev socket paths must fit in 107 bytes.
            if (d.name.size() > kMaxPipeDeviceName)
                throw ConfigError("[" + group + "]: the name of a device with pipe nodes may have at most " +
                                  std::to_string(kMaxPipeDeviceName) + " characters");
            if (!normalise_guid(d.class_guid)) s.fail("class-guid", "must look like {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}");
        } else if (!d.class_guid.empty()) {
            s.fail("class-guid", "only used by kinds with pipe nodes");
        }
        cfg.devices.push_back(d);
    }

    // Topology: parents exist, are hubs, ports fit and are not taken twice, no loops.
    std::map<std::string, const HubConfig*> hubs;
    for (const auto& h : cfg.hubs) hubs[h.name] = &h;
    std::set<std::pair<std::string, int>> taken;
    auto check_place = [&](const std::string& kind, const std::string& name, const std::string& parent, int port) {
        const std::string group = "[" + kind + " " + name + "] ";
        int ports = kRootHubPorts;
        if (!parent.empty()) {
            auto it = hubs.find(parent);
            if (it == hubs.end()) throw ConfigError(group + "parent: no hub named '" + parent + "'");
            ports = it->second->ports;
        }
        if (port > ports) throw ConfigError(group + "port: " + std::to_string(port) + " exceeds the " + std::to_string(ports) + " ports of its hub");
        if (!taken.insert({parent, port}).second) throw ConfigError(group + "port: port " + std::to_string(port) + " is already in use");
    };
    for (const auto& h : cfg.hubs) {
        check_place("hub", h.name, h.parent, h.port);
        std::string p = h.parent;
        for (int depth = 1; !p.empty(); ++depth) {
            if (p == h.name || depth > 5) throw ConfigError("[hub " + h.name + "] parent: hubs form a loop or nest deeper than 5");
            auto it = hubs.find(p);
            if (it == hubs.end()) break;
            p = it->second->parent;
        }
    }
    for (const auto& d : cfg.devices) check_place("device", d.name, d.parent, d.port);
    finish_net_devices(cfg.net_devices);
    check_serial_ports(cfg.serial_ports);
    return cfg;
}

}  // namespace lab
