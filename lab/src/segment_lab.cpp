#include "segment_lab.hpp"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>

#include "config.hpp"
#include "image_store.hpp"
#include "log.hpp"
#include "record.hpp"

namespace lab {
namespace {

using Frame = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

constexpr std::uint16_t kHarloEtherType = 0x88B5;
constexpr int kNoiseFrames = 6;

std::string get(GKeyFile* kf, const std::string& group, const char* key, const std::string& def) {
    gchar* v = g_key_file_get_string(kf, group.c_str(), key, nullptr);
    if (!v) return def;
    std::string s = v;
    g_free(v);
    return s;
}

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool link_running(const std::string& ifname) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq req{};
    std::strncpy(req.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    const bool up = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & IFF_RUNNING);
    ::close(fd);
    return up;
}

Frame ethernet(const Mac& to, const Mac& from, std::uint16_t type, std::size_t length) {
    Frame f(std::max<std::size_t>(length, 60), 0);
    std::copy(to.begin(), to.end(), f.begin());
    std::copy(from.begin(), from.end(), f.begin() + 6);
    f[12] = static_cast<std::uint8_t>(type >> 8);
    f[13] = static_cast<std::uint8_t>(type);
    return f;
}

int machine_id(int model) {
    switch (model) {
    case 301: return 1;
    case 101: return 2;
    case 801: return 3;
    default: return 4;
    }
}

}  // namespace

SegmentConfig parse_segment(GKeyFile* kf, const std::string& group, const std::string& name, int index) {
    SegmentConfig c;
    c.name = name;
    auto fail = [&](const char* key, const std::string& why) { throw ConfigError("[" + group + "] " + key + ": " + why); };
    gsize n = 0;
    gchar** keys = g_key_file_get_keys(kf, group.c_str(), &n, nullptr);
    const std::set<std::string> known = {"kind", "mac", "serial", "fault", "late-ms", "model"};
    for (gsize i = 0; i < n; ++i)
        if (!known.count(keys[i])) {
            const std::string k = keys[i];
            g_strfreev(keys);
            throw ConfigError("[" + group + "] " + k + ": unknown key");
        }
    g_strfreev(keys);
    const std::string kind = get(kf, group, "kind", "");
    if (kind == "nesbin") c.kind = SegmentKind::Nesbin;
    else if (kind == "harlo") c.kind = SegmentKind::Harlo;
    else fail("kind", "nesbin or harlo");
    const std::string mac = get(kf, group, "mac", "");
    if (mac.empty()) {
        c.mac = {0x02, 0x4e, 0x53, 0x00, 0x00, static_cast<std::uint8_t>(0x10 + index)};
    } else {
        unsigned m[6];
        if (std::sscanf(mac.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6 ||
            mac.size() != 17 || (m[0] & 1))
            fail("mac", "a unicast MAC like 02:4e:53:00:00:10");
        for (int i = 0; i < 6; ++i) c.mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(m[i]);
    }
    c.serial = get(kf, group, "serial", name);
    if (c.serial.empty() || c.serial.size() > 60) fail("serial", "1-60 characters");
    const std::string fault = get(kf, group, "fault", "none");
    static const std::map<std::string, SegmentFault> faults = {
        {"none", SegmentFault::None},           {"silent", SegmentFault::Silent},
        {"late", SegmentFault::Late},           {"noise", SegmentFault::Noise},
        {"wrong-group", SegmentFault::WrongGroup}, {"wrong-command", SegmentFault::WrongCommand},
        {"short-read", SegmentFault::ShortRead}, {"other-completion", SegmentFault::OtherCompletion},
        {"lost-read-back", SegmentFault::LostReadBack}};
    auto it = faults.find(fault);
    if (it == faults.end()) fail("fault", "unknown fault '" + fault + "'");
    c.fault = it->second;
    const bool nesbin_only = c.fault == SegmentFault::Noise || c.fault == SegmentFault::WrongGroup ||
                             c.fault == SegmentFault::WrongCommand || c.fault == SegmentFault::ShortRead;
    if (c.kind == SegmentKind::Harlo && nesbin_only) fail("fault", "fault=" + fault + " is for kind=nesbin");
    if (c.kind == SegmentKind::Nesbin &&
        (c.fault == SegmentFault::OtherCompletion || c.fault == SegmentFault::LostReadBack))
        fail("fault", "fault=" + fault + " is for kind=harlo");
    const std::string late = get(kf, group, "late-ms", "");
    if (c.fault == SegmentFault::Late) {
        c.late_ms = static_cast<unsigned>(std::strtoul(late.c_str(), nullptr, 10));
        if (c.late_ms == 0 || c.late_ms > 60000) fail("late-ms", "1-60000, needed by fault=late");
    } else if (!late.empty()) {
        fail("late-ms", "only used with fault=late");
    }
    const std::string model = get(kf, group, "model", "");
    if (c.kind == SegmentKind::Harlo) {
        c.model = model.empty() ? 301 : std::atoi(model.c_str());
        if (c.model != 101 && c.model != 301 && c.model != 801 && c.model != 802) fail("model", "101, 301, 801 or 802");
    } else if (!model.empty()) {
        fail("model", "only used with kind=harlo");
    }
    return c;
}

// One simulated instrument: its identity image and how it answers a frame.
struct SegmentLab::Sim {
    SegmentConfig cfg;
    std::unique_ptr<ImageStore> store;
    bool written = false;  // harlo: a write was answered

    bool for_me(const Frame& f) const {
        return std::equal(cfg.mac.begin(), cfg.mac.end(), f.begin()) ||
               std::all_of(f.begin(), f.begin() + 6, [](std::uint8_t b) { return b == 0xFF; });
    }

    // The frames to send in answer, in order.
    std::vector<Frame> answer(const Frame& f) {
        if (f.size() < 24 || !for_me(f)) return {};
        Mac from{};
        std::copy_n(f.begin() + 6, 6, from.begin());
        return cfg.kind == SegmentKind::Nesbin ? nesbin(f, from) : harlo(f, from);
    }

    std::vector<Frame> nesbin(const Frame& f, const Mac& from) {
        if (f[12] != 0x08 || f[13] != 0x06 || f[14] != 'C' || f[15] != 'X' || f[16] != 0 || f[17] != 0) return {};
        if (cfg.fault == SegmentFault::Silent) return {};
        const std::uint8_t group = f[18], command = f[19];
        auto reply = [&](std::size_t length) {
            Frame r = ethernet(from, cfg.mac, 0x0806, length);
            r[14] = 'C';
            r[15] = 'X';
            r[17] = 1;
            r[18] = static_cast<std::uint8_t>(group + (cfg.fault == SegmentFault::WrongGroup ? 1 : 0));
            r[19] = static_cast<std::uint8_t>(command + (cfg.fault == SegmentFault::WrongCommand ? 1 : 0));
            return r;
        };
        std::vector<Frame> out;
        if (group == 7 && command == 5) {
            if (cfg.fault == SegmentFault::Noise)
                for (int k = 0; k < kNoiseFrames; ++k) {
                    Frame noise = ethernet({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, cfg.mac, 0x88B6, 60);
                    noise[14] = static_cast<std::uint8_t>(k);
                    out.push_back(noise);
                }
            Frame r = reply(30);
            r[23] = 6;
            std::copy(cfg.mac.begin(), cfg.mac.end(), r.begin() + 24);
            out.push_back(r);
        } else if (group == 8 && command == 1 && f.size() >= 28) {
            const unsigned address = (f[24] << 8) | f[25], length = (f[26] << 8) | f[27];
            if (length > 1020) return {};
            // short-read: the header promises every byte, half of them come.
            const unsigned sent = cfg.fault == SegmentFault::ShortRead ? length / 2 : length;
            Frame r = reply(28 + sent);
            r[22] = static_cast<std::uint8_t>((4 + length) >> 8);
            r[23] = static_cast<std::uint8_t>(4 + length);
            std::copy_n(f.begin() + 24, 4, r.begin() + 24);
            const Image& im = store->image();
            for (unsigned i = 0; i < sent; ++i) r[28 + i] = address + i < im.size() ? im[address + i] : 0xFF;
            r.resize(std::max<std::size_t>(28 + sent, 60));
            out.push_back(r);
        } else if (group == 8 && command == 2 && f.size() >= 28) {
            const unsigned address = (f[24] << 8) | f[25], length = (f[26] << 8) | f[27];
            if (f.size() < 28 + length) return {};
            Image& im = store->image();
            for (unsigned i = 0; i < length; ++i)
                if (address + i < im.size()) im[address + i] = f[28 + i];
            store->save();
            out.push_back(reply(24));
        }
        return out;
    }

    std::vector<Frame> harlo(const Frame& f, const Mac& from) {
        if (f[12] != (kHarloEtherType >> 8) || f[13] != (kHarloEtherType & 0xFF)) return {};
        const std::uint8_t type = f[14];
        auto reply = [&](std::uint8_t t, std::uint32_t code, std::size_t data) {
            Frame r = ethernet(from, cfg.mac, kHarloEtherType, 24 + data);
            r[14] = t;
            r[16] = f[16];
            r[17] = f[17];
            for (int k = 0; k < 4; ++k) r[18 + k] = static_cast<std::uint8_t>(code >> (8 * k));
            r[22] = static_cast<std::uint8_t>(data >> 8);
            r[23] = static_cast<std::uint8_t>(data);
            return r;
        };
        const std::uint32_t done = cfg.fault == SegmentFault::OtherCompletion ? 0x1E01 : 0x1E00;
        std::vector<Frame> out;
        if (type == 0x01 || type == 0x02) {
            Frame r = reply(static_cast<std::uint8_t>(type | 0x80), 0, 4);
            r[24] = static_cast<std::uint8_t>(machine_id(cfg.model));
            out.push_back(r);
        } else if (type == 0x03) {
            if (cfg.fault == SegmentFault::Silent) return {};
            Frame data = reply(0x83, 0, 256);
            const Image& im = store->image();
            std::copy(im.begin(), im.end(), data.begin() + 24);
            // lost-read-back: after a write, a read's image frame is lost on
            // the way; its completion still comes.
            if (!(cfg.fault == SegmentFault::LostReadBack && written)) out.push_back(data);
            out.push_back(reply(0xFE, done, 0));
        } else if (type == 0x04 && f.size() >= 28) {
            if (cfg.fault == SegmentFault::Silent) return {};
            const unsigned start = (f[24] << 8) | f[25], count = (f[26] << 8) | f[27];
            if (f.size() < 28 + 2 * count) return {};
            Image& im = store->image();
            for (unsigned i = 0; i < 2 * count; ++i)
                if (2 * start + i < im.size()) im[2 * start + i] = f[28 + i];
            store->save();
            written = true;
            out.push_back(reply(0xFE, done, 0));
        }
        return out;
    }
};

SegmentLab::SegmentLab(const std::vector<SegmentConfig>& devices, const NetNs& command,
                       const std::filesystem::path& state_dir) {
    if (devices.empty()) return;
    auto quiet_ipv6 = [] {
        set_net_sysctl("ipv6/conf/default/disable_ipv6", "1");
        set_net_sysctl("ipv6/conf/all/disable_ipv6", "1");
    };
    dead_ = NetNs::create();
    quiet_ipv6();
    {
        Rtnl nl;
        nl.set_up("lo");
    }
    sims_ns_ = NetNs::create();
    quiet_ipv6();
    Rtnl sim_nl;
    sim_nl.set_up("lo");

    command.enter();
    {
        Rtnl cmd_nl;
        // seg0 first: libpcap lists it before seg1, so the search tries it first.
        cmd_nl.add_veth("seg0", 0, "eth0", dead_.fd());
        cmd_nl.add_veth("seg1", 0, "eth0", sims_ns_.fd());
        for (const char* n : {"seg0", "seg1"}) {
            set_net_sysctl(std::string("ipv6/conf/") + n + "/disable_ipv6", "1");
            cmd_nl.set_up(n);
        }
    }
    dead_.enter();
    {
        Rtnl nl;
        nl.set_up("eth0");
    }
    sims_ns_.enter();
    sim_nl.set_up("eth0");
    sock_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL));
    if (sock_ < 0) throw std::runtime_error(std::string("AF_PACKET socket: ") + std::strerror(errno));
    sims_ns_.require_socket(sock_, "raw Ethernet simulators");
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_ALL);
    a.sll_ifindex = static_cast<int>(::if_nametoindex("eth0"));
    if (a.sll_ifindex == 0 || ::bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error(std::string("bind to eth0: ") + std::strerror(errno));
    command.enter();
    command.require_current("raw Ethernet lab");

    // The product must see both links with carrier, in their order.
    for (int waited = 0; waited < 2000 && !(link_running("seg0") && link_running("seg1")); waited += 5)
        ::poll(nullptr, 0, 5);

    for (const auto& c : devices) {
        auto sim = std::make_unique<Sim>();
        sim->cfg = c;
        sim->store = std::make_unique<ImageStore>(state_dir / (c.name + ".bin"), c.name, c.serial);
        log_event("segment instrument %s (%s) %02x:%02x:%02x:%02x:%02x:%02x on seg1", c.name.c_str(),
                  c.kind == SegmentKind::Nesbin ? "nesbin" : "harlo", c.mac[0], c.mac[1], c.mac[2], c.mac[3],
                  c.mac[4], c.mac[5]);
        sims_.push_back(std::move(sim));
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

SegmentLab::~SegmentLab() {
    stop_ = true;
    if (wake_fd_ >= 0) {
        const std::uint64_t one = 1;
        if (::write(wake_fd_, &one, sizeof one) < 0) {
        }
    }
    if (thread_.joinable()) thread_.join();
    if (sock_ >= 0) ::close(sock_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

void SegmentLab::run() {
    std::multimap<std::int64_t, std::pair<std::string, Frame>> later;
    auto send = [&](const std::string& who, const Frame& f) {
        record(who, false, f);
        if (::send(sock_, f.data(), f.size(), 0) < 0) log_error("%s: send: %s", who.c_str(), std::strerror(errno));
    };
    while (!stop_) {
        int timeout = -1;
        if (!later.empty()) timeout = static_cast<int>(std::max<std::int64_t>(0, (later.begin()->first - now_ns()) / 1000000 + 1));
        pollfd fds[2] = {{sock_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        while (!later.empty() && later.begin()->first <= now_ns()) {
            send(later.begin()->second.first, later.begin()->second.second);
            later.erase(later.begin());
        }
        if (!(fds[0].revents & POLLIN)) continue;
        for (int k = 0; k < 64; ++k) {
            Frame f(2048);
            sockaddr_ll from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(sock_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) break;
            if (from.sll_pkttype == PACKET_OUTGOING) continue;
            f.resize(static_cast<std::size_t>(n));
            for (auto& sim : sims_) {
                auto out = sim->answer(f);
                if (out.empty()) continue;
                record(sim->cfg.name, true, f);
                for (auto& reply : out) {
                    // A late Harlo answers detection and connection at once.
                    const bool transfer = sim->cfg.kind == SegmentKind::Nesbin || reply[14] == 0x83 || reply[14] == 0xFE;
                    if (sim->cfg.fault == SegmentFault::Late && transfer)
                        later.emplace(now_ns() + std::int64_t{sim->cfg.late_ms} * 1000000, std::make_pair(sim->cfg.name, reply));
                    else
                        send(sim->cfg.name, reply);
                }
            }
        }
    }
}

}  // namespace lab
