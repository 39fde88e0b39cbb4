// Runs inside brevane-lab: an independent client of the simulated network
// instruments, built on plain sockets from the wire formats.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const char* kLab0 = "198.18.0.1";
const char* kLab1 = "198.18.1.1";

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

std::uint16_t be16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b.at(at) << 8 | b.at(at + 1)); }
std::uint16_t le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8); }
std::uint32_t le32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16) | static_cast<std::uint32_t>(b.at(at + 3)) << 24;
}
void set_be16(Bytes& b, std::size_t at, unsigned v) {
    b.at(at) = static_cast<std::uint8_t>(v >> 8);
    b.at(at + 1) = static_cast<std::uint8_t>(v);
}
void set_le16(Bytes& b, std::size_t at, unsigned v) {
    b.at(at) = static_cast<std::uint8_t>(v);
    b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}
std::string text_at(const Bytes& b, std::size_t at) {
    std::string s;
    for (std::size_t i = at; i < b.size() && b[i]; ++i) s += static_cast<char>(b[i]);
    return s;
}

struct Datagram {
    Bytes data;
    std::string from;
    double ms = 0;  // after the send
};

class Udp {
public:
    explicit Udp(const char* local) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, local, &a.sin_addr);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Udp() { close(fd_); }
    bool ok() const { return fd_ >= 0 && bound_; }
    void send(const Bytes& b, const char* to, std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, to, &a.sin_addr);
        sent_ = Clock::now();
        ASSERT_EQ(sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
                  static_cast<ssize_t>(b.size()));
    }
    // Every datagram arriving within window_ms of now.
    std::vector<Datagram> collect(int window_ms) {
        std::vector<Datagram> got;
        const auto end = Clock::now() + std::chrono::milliseconds(window_ms);
        while (auto d = next(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count())))
            got.push_back(*d);
        return got;
    }
    std::optional<Datagram> next(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (timeout_ms < 0 || poll(&p, 1, timeout_ms) != 1) return std::nullopt;
        std::uint8_t buf[4096];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        return Datagram{Bytes(buf, buf + n), ip, ms_since(sent_)};
    }

private:
    int fd_ = -1;
    bool bound_ = false;
    Clock::time_point sent_ = Clock::now();
};

std::set<std::string> senders(const std::vector<Datagram>& ds) {
    std::set<std::string> s;
    for (const auto& d : ds) s.insert(d.from);
    return s;
}

// ---- Evra / Kalder ----

Bytes header(bool big, std::uint16_t cmd, std::uint16_t f18, std::size_t size) {
    Bytes b(size, 0);
    const char* magic = big ? "VKLP" : "PLKV";
    std::memcpy(b.data(), magic, 4);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (big ? 24 - 8 * i : 8 * i));
    };
    put32(4, 1);
    put32(8, 1);
    put32(12, 0);
    if (big) {
        set_be16(b, 16, cmd);
        set_be16(b, 18, f18);
    } else {
        set_le16(b, 16, cmd);
        set_le16(b, 18, f18);
    }
    return b;
}
Bytes evra_discovery() { return header(true, 1, 0, 28); }
Bytes evra_read() { return header(true, 14, 0, 20); }
Bytes evra_write(const Bytes& image) {
    Bytes b = header(true, 15, 0, 276);
    std::copy(image.begin(), image.end(), b.begin() + 20);
    return b;
}
Bytes kalder_discovery() { return header(false, 1, 0, 26); }
Bytes kalder_req(std::uint16_t cmd, std::uint16_t word, std::uint16_t words, const Bytes& data = {}) {
    Bytes b = header(false, cmd, word, 278);
    set_le16(b, 20, words);
    std::copy(data.begin(), data.end(), b.begin() + 22);
    return b;
}

bool evra_reply(const Datagram& d, std::size_t size, std::uint16_t cmd) {
    return d.data.size() == size && std::memcmp(d.data.data(), "VKLP", 4) == 0 && be16(d.data, 16) == cmd;
}
bool kalder_reply(const Datagram& d, std::size_t size, std::uint16_t cmd) {
    return d.data.size() == size && std::memcmp(d.data.data(), "PLKV", 4) == 0 && le16(d.data, 16) == cmd;
}

std::optional<Bytes> evra_read_image(const char* ip) {
    Udp u(kLab0);
    u.send(evra_read(), ip, 5006);
    auto d = u.next(1000);
    if (!d || !evra_reply(*d, 276, 14)) return std::nullopt;
    return Bytes(d->data.begin() + 20, d->data.end());
}

// ---- Gostel ----

Bytes gostel_short(std::uint16_t cmd) {
    Bytes b(16, 0);
    std::fill(b.begin(), b.begin() + 6, 0xff);
    set_le16(b, 6, cmd);
    set_le16(b, 8, 1);
    return b;
}
Bytes gostel_eeprom(std::uint16_t sub, std::uint16_t slot, std::uint16_t word, std::uint16_t count, const Bytes& data = {}) {
    Bytes b(276, 0);
    set_le16(b, 6, 14);
    set_le16(b, 8, sub);
    set_le16(b, 10, slot);
    set_le16(b, 16, word);
    set_le16(b, 18, count);
    std::copy(data.begin(), data.end(), b.begin() + 20);
    return b;
}
std::optional<Datagram> gostel_exchange(const char* ip, const Bytes& req, int timeout_ms = 1000) {
    Udp u(kLab0);
    u.send(req, ip, 8888);
    return u.next(timeout_ms);
}

// ---- Hevra ----

std::uint16_t crc16(const std::uint8_t* p, std::size_t n) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<std::uint16_t>(p[i] << 8);
        for (int k = 0; k < 8; ++k) crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}
Bytes hevra_discovery(bool good_crc = true) {
    Bytes b(192, 0);
    std::memcpy(b.data(), "quenlor", 7);
    b[7] = 0x20;
    b[9] = 0xFA;
    b[14] = 0xCC;
    b[15] = 0x01;
    set_be16(b, 28, crc16(b.data(), 28) ^ (good_crc ? 0 : 1));
    return b;
}
bool hevra_discovery_ok(const Datagram& d) {
    return d.data.size() == 192 && std::memcmp(d.data.data(), "quenlor", 7) == 0 && be16(d.data, 28) == crc16(d.data.data(), 28);
}

class Tcp {
public:
    explicit Tcp(const char* ip) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(8001);
        inet_pton(AF_INET, ip, &a.sin_addr);
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Tcp() { close(fd_); }
    bool ok() const { return ok_; }
    // Sends a request, then gathers what arrives until `want` bytes are there
    // or nothing more comes for quiet_ms.
    Bytes exchange(const Bytes& req, std::size_t want, int quiet_ms = 500) {
        EXPECT_EQ(send(fd_, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
        Bytes got;
        while (got.size() < want) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, quiet_ms) != 1) break;
            std::uint8_t buf[4096];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

Bytes hevra_req(std::uint16_t code, const std::array<std::uint8_t, 6>& station, std::size_t size = 100) {
    Bytes b(size, 0);
    set_be16(b, 0, code);
    std::copy(station.begin(), station.end(), b.begin() + 20);
    return b;
}
Bytes hevra_identify() {
    Bytes b(100, 0);
    set_be16(b, 0, 0x80FD);
    b[19] = 0xFF;
    return b;
}
Bytes hevra_eeprom(std::uint16_t code, const std::array<std::uint8_t, 6>& st, int slot, std::uint16_t word,
                   std::uint16_t count, const Bytes& data = {}) {
    const bool write = code == 0x00C3 || code == 0x00E1;
    Bytes b = hevra_req(code, st, write ? 1060 : 100);
    b[26] = static_cast<std::uint8_t>(slot);
    set_be16(b, 28, word);
    set_be16(b, 30, count);
    std::copy(data.begin(), data.end(), b.begin() + 32);
    return b;
}
constexpr std::array<std::uint8_t, 6> kHeGoodStation{0x02, 0x00, 0x5e, 0x00, 0x00, 0x13};

Bytes pattern(std::uint8_t seed, std::size_t n = 256) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
    return b;
}

// ---- The namespace ----

TEST(Namespace, CommandRunsInItsOwnNamespace) {
    char self[64] = {}, init[64] = {};
    ASSERT_GT(readlink("/proc/self/ns/net", self, sizeof self - 1), 0);
    const char* host = std::getenv("BREVANE_SELFTEST_HOST_NETNS");
    ASSERT_NE(host, nullptr) << "the test runner passes the host's namespace";
    EXPECT_NE(std::string(self), std::string(host));
    if (readlink("/proc/1/ns/net", init, sizeof init - 1) > 0) {
        EXPECT_NE(std::string(self), std::string(init));
    }
}

std::vector<std::pair<std::string, std::string>> ipv4_interfaces() {
    std::vector<std::pair<std::string, std::string>> out;
    ifaddrs* ifa = nullptr;
    if (getifaddrs(&ifa) != 0) return out;
    for (ifaddrs* i = ifa; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, ip, sizeof ip);
        out.emplace_back(i->ifa_name, ip);
    }
    freeifaddrs(ifa);
    return out;
}

std::vector<std::string> link_names() {
    std::vector<std::string> names;
    if (struct if_nameindex* ni = if_nameindex()) {
        for (struct if_nameindex* i = ni; i->if_index; ++i) names.push_back(i->if_name);
        if_freenameindex(ni);
    }
    return names;
}

TEST(Namespace, SeesOnlyTheLabInterfaces) {
    EXPECT_EQ(link_names(), (std::vector<std::string>{"lo", "lab0", "lab1"}));
    const auto v4 = ipv4_interfaces();
    EXPECT_EQ(v4, (std::vector<std::pair<std::string, std::string>>{
                      {"lo", "127.0.0.1"}, {"lab0", "198.18.0.1"}, {"lab1", "198.18.1.1"}}));
}

// A lab without network instruments still gives the command a namespace of its own, with lo only.
TEST(Bare, OnlyLoopback) {
    char self[64] = {};
    ASSERT_GT(readlink("/proc/self/ns/net", self, sizeof self - 1), 0);
    const char* host = std::getenv("BREVANE_SELFTEST_HOST_NETNS");
    ASSERT_NE(host, nullptr);
    EXPECT_NE(std::string(self), std::string(host));
    EXPECT_EQ(link_names(), (std::vector<std::string>{"lo"}));
}

// ---- Discovery by broadcast: lab0 reaches lan0, lab1 reaches lan1 ----

TEST(Discovery, EvraPerInterface) {
    Udp u0(kLab0);
    ASSERT_TRUE(u0.ok());
    u0.send(evra_discovery(), "255.255.255.255", 5006);
    const auto on0 = u0.collect(700);
    // Every lan0 Evra but the silent one answers (well or badly); nothing from lan1.
    EXPECT_EQ(senders(on0), (std::set<std::string>{"198.18.0.10", "198.18.0.21", "198.18.0.22", "198.18.0.23",
                                                   "198.18.0.24", "198.18.0.25", "198.18.0.26", "198.18.0.27",
                                                   "198.18.0.36"}));
    std::set<std::string> valid;
    for (const auto& d : on0) {
        if (!evra_reply(d, 96, 1)) continue;
        valid.insert(d.from);
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, d.data.data() + 28, ip, sizeof ip);  // most significant byte first
        EXPECT_EQ(d.from, ip);
    }
    EXPECT_EQ(valid, (std::set<std::string>{"198.18.0.10", "198.18.0.21", "198.18.0.22", "198.18.0.26",
                                            "198.18.0.36"}));

    Udp u1(kLab1);
    u1.send(evra_discovery(), "255.255.255.255", 5006);
    const auto on1 = u1.collect(300);
    ASSERT_EQ(on1.size(), 1u);
    EXPECT_EQ(on1[0].from, "198.18.1.10");
    EXPECT_TRUE(evra_reply(on1[0], 96, 1));
}

TEST(Discovery, KalderPerInterface) {
    Udp u0(kLab0);
    u0.send(kalder_discovery(), "255.255.255.255", 5016);
    const auto on0 = u0.collect(300);
    EXPECT_EQ(senders(on0), (std::set<std::string>{"198.18.0.11", "198.18.0.28", "198.18.0.29"}));
    for (const auto& d : on0) {
        if (d.from != "198.18.0.11") continue;
        ASSERT_TRUE(kalder_reply(d, 94, 1));
        EXPECT_EQ(d.data[26], 11);  // least significant byte first
        EXPECT_EQ(d.data[29], 198);
    }
    Udp u1(kLab1);
    u1.send(kalder_discovery(), "255.255.255.255", 5016);
    EXPECT_EQ(senders(u1.collect(300)), (std::set<std::string>{"198.18.1.11"}));
    // The Evra byte order is not Kalder's: such a request gets no answer.
    Udp u2(kLab0);
    Bytes big = header(true, 1, 0, 26);
    u2.send(big, "198.18.0.11", 5016);
    EXPECT_FALSE(u2.next(300));
}

TEST(Discovery, GostelPerInterfaceAndSlotTable) {
    Udp u0(kLab0);
    u0.send(gostel_short(3), "255.255.255.255", 8888);
    const auto on0 = u0.collect(300);
    EXPECT_EQ(senders(on0), (std::set<std::string>{"198.18.0.12", "198.18.0.30", "198.18.0.31", "198.18.0.32"}));
    int dup = 0;
    for (const auto& d : on0) {
        EXPECT_EQ(d.data.size(), 112u);
        EXPECT_EQ(le16(d.data, 6), 3);
        dup += d.from == "198.18.0.32";
    }
    EXPECT_EQ(dup, 2);  // fault=duplicate answers twice
    Udp u1(kLab1);
    u1.send(gostel_short(3), "255.255.255.255", 8888);
    EXPECT_EQ(senders(u1.collect(300)), (std::set<std::string>{"198.18.1.12"}));

    auto t = gostel_exchange("198.18.0.12", gostel_short(6));
    ASSERT_TRUE(t);
    ASSERT_EQ(t->data.size(), 144u);
    EXPECT_EQ(le16(t->data, 6), 6);
    std::map<int, std::pair<int, int>> slots;
    for (int i = 0; i < 16; ++i) {
        const std::size_t at = 16 + 8 * static_cast<std::size_t>(i);
        if (le16(t->data, at) || le16(t->data, at + 2)) slots[i] = {le16(t->data, at), le16(t->data, at + 2)};
    }
    EXPECT_EQ(slots, (std::map<int, std::pair<int, int>>{{0, {0xA021, 1}}, {3, {0xC022, 2}}, {5, {0xD022, 0}}, {7, {0xB010, 3}}}));
}

TEST(Discovery, HevraPerInterfaceWithCrc) {
    Udp u0(kLab0);
    u0.send(hevra_discovery(), "255.255.255.255", 8000);
    const auto on0 = u0.collect(300);
    EXPECT_EQ(senders(on0), (std::set<std::string>{"198.18.0.13", "198.18.0.33", "198.18.0.34", "198.18.0.35"}));
    std::set<std::string> valid;
    for (const auto& d : on0)
        if (hevra_discovery_ok(d)) valid.insert(d.from);
    EXPECT_EQ(valid, (std::set<std::string>{"198.18.0.13", "198.18.0.34", "198.18.0.35"}));  // .33: bad-crc
    Udp u1(kLab1);
    u1.send(hevra_discovery(), "255.255.255.255", 8000);
    EXPECT_EQ(senders(u1.collect(300)), (std::set<std::string>{"198.18.1.13"}));
    // A request with a wrong CRC is ignored.
    Udp u2(kLab0);
    u2.send(hevra_discovery(false), "198.18.0.13", 8000);
    EXPECT_FALSE(u2.next(300));
}

// ---- EEPROM transfers ----

TEST(Evra, ReadWriteImage) {
    const auto before = evra_read_image("198.18.0.10");
    ASSERT_TRUE(before);
    EXPECT_EQ(text_at(*before, 76), "NS-EV-GOOD");
    const Bytes p = pattern(7);
    Udp u(kLab0);
    u.send(evra_write(p), "198.18.0.10", 5006);
    auto w = u.next(1000);
    ASSERT_TRUE(w && evra_reply(*w, 276, 15));
    EXPECT_EQ(evra_read_image("198.18.0.10"), p);
    u.send(evra_write(*before), "198.18.0.10", 5006);
    ASSERT_TRUE(u.next(1000));
    EXPECT_EQ(evra_read_image("198.18.0.10"), before);
}

TEST(Kalder, WordAddressedChunks) {
    Udp u(kLab0);
    u.send(kalder_req(2, 0, 128), "198.18.0.11", 5016);
    auto r = u.next(1000);
    ASSERT_TRUE(r && kalder_reply(*r, 278, 2));
    const Bytes image(r->data.begin() + 22, r->data.end());
    EXPECT_EQ(text_at(image, 76), "NS-KA-GOOD");
    // Word 64, 16 words: bytes 128..159.
    u.send(kalder_req(2, 64, 16), "198.18.0.11", 5016);
    r = u.next(1000);
    ASSERT_TRUE(r && kalder_reply(*r, 278, 2));
    EXPECT_EQ(le16(r->data, 18), 64);
    EXPECT_TRUE(std::equal(image.begin() + 128, image.begin() + 160, r->data.begin() + 22));
    // A write of 2 words at word 100, acknowledged with 18 bytes.
    const Bytes four{0xde, 0xad, 0xbe, 0xef};
    u.send(kalder_req(3, 100, 2, four), "198.18.0.11", 5016);
    r = u.next(1000);
    ASSERT_TRUE(r && kalder_reply(*r, 18, 3));
    u.send(kalder_req(2, 100, 2), "198.18.0.11", 5016);
    r = u.next(1000);
    ASSERT_TRUE(r && kalder_reply(*r, 278, 2));
    EXPECT_TRUE(std::equal(four.begin(), four.end(), r->data.begin() + 22));
    u.send(kalder_req(3, 100, 2, Bytes(image.begin() + 200, image.begin() + 204)), "198.18.0.11", 5016);
    ASSERT_TRUE(u.next(1000));
    // Past the 256-byte image: 0xFF.
    u.send(kalder_req(2, 200, 8), "198.18.0.11", 5016);
    r = u.next(1000);
    ASSERT_TRUE(r && kalder_reply(*r, 278, 2));
    EXPECT_TRUE(std::all_of(r->data.begin() + 22, r->data.begin() + 38, [](std::uint8_t b) { return b == 0xff; }));
}

TEST(Gostel, ControllerAndCardImages) {
    auto c = gostel_exchange("198.18.0.12", gostel_eeprom(1, 0, 0, 256));
    ASSERT_TRUE(c);
    ASSERT_EQ(c->data.size(), 276u);
    EXPECT_EQ(le16(c->data, 6), 14);
    EXPECT_EQ(le16(c->data, 8), 1);
    EXPECT_EQ(text_at(c->data, 20 + 76), "NS-GO-GOOD");
    for (int sub : {3, 5}) {  // Modify and Initialize reads of the card in slot 3
        auto r = gostel_exchange("198.18.0.12", gostel_eeprom(static_cast<std::uint16_t>(sub), 3, 0, 256));
        ASSERT_TRUE(r);
        EXPECT_EQ(le16(r->data, 8), sub);
        EXPECT_EQ(text_at(r->data, 20 + 76), "NS-GO-GOOD-S3");
    }
    EXPECT_FALSE(gostel_exchange("198.18.0.12", gostel_eeprom(3, 5, 0, 256), 300));  // status 0: no card
    EXPECT_FALSE(gostel_exchange("198.18.0.12", gostel_eeprom(3, 9, 0, 256), 300));  // nothing in slot 9
    // Initialize-mode write to slot 0, read back in Modify mode, then restore.
    auto old = gostel_exchange("198.18.0.12", gostel_eeprom(3, 0, 0, 256));
    ASSERT_TRUE(old);
    const Bytes saved(old->data.begin() + 20, old->data.end());
    auto w = gostel_exchange("198.18.0.12", gostel_eeprom(6, 0, 0, 256, pattern(3)));
    ASSERT_TRUE(w);
    EXPECT_EQ(le16(w->data, 8), 6);
    auto r = gostel_exchange("198.18.0.12", gostel_eeprom(3, 0, 0, 256));
    ASSERT_TRUE(r);
    EXPECT_EQ(Bytes(r->data.begin() + 20, r->data.end()), pattern(3));
    ASSERT_TRUE(gostel_exchange("198.18.0.12", gostel_eeprom(4, 0, 0, 256, saved)));
}

TEST(Hevra, TcpSession) {
    Tcp t("198.18.0.13");
    ASSERT_TRUE(t.ok());
    Bytes id = t.exchange(hevra_identify(), 100);
    ASSERT_GE(id.size(), 26u);
    EXPECT_EQ(be16(id, 0), 0x80FD);
    EXPECT_EQ(be16(id, 2), 0x1234);
    EXPECT_TRUE(std::equal(kHeGoodStation.begin(), kHeGoodStation.end(), id.begin() + 20));

    Bytes req = hevra_req(0x00C1, kHeGoodStation);
    set_be16(req, 2, 0x1234);
    set_be16(req, 12, 0xD001);
    Bytes table = t.exchange(req, 936);
    ASSERT_EQ(table.size(), 936u);
    EXPECT_EQ(be16(table, 0), 0x80C1);
    std::map<int, std::pair<int, std::uint32_t>> slots;
    for (int i = 0; i < 16; ++i) {
        const std::size_t at = static_cast<std::size_t>(52 * i);
        if (be16(table, 104 + at) || le32(table, 152 + at)) slots[i] = {be16(table, 104 + at), le32(table, 152 + at)};
    }
    EXPECT_EQ(slots, (std::map<int, std::pair<int, std::uint32_t>>{{0, {0xD001, 1}}, {2, {0xD001, 9}}, {4, {0xD001, 0}}}));

    Bytes wrong = req;
    wrong[25] ^= 1;  // another station identity: ignored
    EXPECT_TRUE(t.exchange(wrong, 1, 300).empty());

    Bytes ctl = t.exchange(hevra_eeprom(0x00C2, kHeGoodStation, 0, 0, 256), 288);
    ASSERT_GE(ctl.size(), 288u);
    EXPECT_EQ(be16(ctl, 0), 0x80C2);
    EXPECT_EQ(text_at(ctl, 32 + 76), "NS-HE-GOOD");
    Bytes card = t.exchange(hevra_eeprom(0x00E0, kHeGoodStation, 2, 0, 256), 288);
    ASSERT_GE(card.size(), 288u);
    EXPECT_EQ(be16(card, 0), 0x80E0);
    EXPECT_EQ(text_at(card, 32 + 76), "NS-HE-GOOD-S2");
    EXPECT_TRUE(t.exchange(hevra_eeprom(0x00E0, kHeGoodStation, 4, 0, 256), 1, 300).empty());  // presence 0

    const Bytes saved(card.begin() + 32, card.begin() + 288);
    Bytes ack = t.exchange(hevra_eeprom(0x00E1, kHeGoodStation, 2, 0, 256, pattern(9)), 1);
    ASSERT_FALSE(ack.empty());
    EXPECT_EQ(be16(ack, 0), 0x80E1);
    Bytes back = t.exchange(hevra_eeprom(0x00E0, kHeGoodStation, 2, 0, 256), 288);
    ASSERT_GE(back.size(), 288u);
    EXPECT_EQ(Bytes(back.begin() + 32, back.begin() + 288), pattern(9));
    ASSERT_FALSE(t.exchange(hevra_eeprom(0x00E1, kHeGoodStation, 2, 0, 256, saved), 1).empty());
}

// ---- Faults ----

TEST(Faults, EvraSilentLateDuplicate) {
    Udp u(kLab0);
    u.send(evra_read(), "198.18.0.20", 5006);
    EXPECT_TRUE(u.collect(500).empty());

    u.send(evra_read(), "198.18.0.21", 5006);
    auto late = u.next(2000);
    ASSERT_TRUE(late && evra_reply(*late, 276, 14));
    EXPECT_GE(late->ms, 280);
    EXPECT_LT(late->ms, 1500);

    u.send(evra_read(), "198.18.0.26", 5006);
    const auto two = u.collect(300);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].data, two[1].data);
    EXPECT_TRUE(evra_reply(two[0], 276, 14));
}

// fault-message=read, silent-first=1, late 300 ms: discovery is answered at
// once, the first read not at all, every later read late.
TEST(Faults, EvraFaultOnReadsOnlyAfterOneUnansweredRead) {
    Udp u(kLab0);
    u.send(evra_discovery(), "198.18.0.36", 5006);
    auto d = u.next(1000);
    ASSERT_TRUE(d && evra_reply(*d, 96, 1));
    EXPECT_LT(d->ms, 250);
    u.send(evra_read(), "198.18.0.36", 5006);
    EXPECT_FALSE(u.next(800));
    for (int i = 0; i < 2; ++i) {
        u.send(evra_read(), "198.18.0.36", 5006);
        auto r = u.next(2000);
        ASSERT_TRUE(r && evra_reply(*r, 276, 14));
        EXPECT_GE(r->ms, 280);
    }
}

TEST(Faults, EvraStaleAnswersThePreviousRequestFirst) {
    Udp u(kLab0);
    u.send(evra_discovery(), "198.18.0.22", 5006);
    u.collect(300);
    u.send(evra_read(), "198.18.0.22", 5006);
    auto got = u.collect(300);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(evra_reply(got[0], 96, 1));  // the discovery again
    EXPECT_TRUE(evra_reply(got[1], 276, 14));
    u.send(evra_read(), "198.18.0.22", 5006);
    got = u.collect(300);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(evra_reply(got[0], 276, 14) && evra_reply(got[1], 276, 14));
}

TEST(Faults, EvraMalformedReplies) {
    Udp u(kLab0);
    u.send(evra_read(), "198.18.0.23", 5006);
    auto r = u.next(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data.size(), 275u);

    u.send(evra_read(), "198.18.0.24", 5006);
    r = u.next(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data.size(), 276u);
    EXPECT_NE(std::memcmp(r->data.data(), "VKLP", 4), 0);

    u.send(evra_read(), "198.18.0.25", 5006);
    r = u.next(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data.size(), 276u);
    EXPECT_NE(be16(r->data, 16), 14);
    // A write answered with the wrong command has not been carried out.
    const Bytes before(r->data.begin() + 20, r->data.end());
    u.send(evra_write(pattern(1)), "198.18.0.25", 5006);
    ASSERT_TRUE(u.next(1000));
    u.send(evra_read(), "198.18.0.25", 5006);
    r = u.next(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ(Bytes(r->data.begin() + 20, r->data.end()), before);

    // Evra in Kalder's byte order: "PLKV", command 14 little-endian.
    u.send(evra_read(), "198.18.0.27", 5006);
    r = u.next(1000);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->data.size(), 276u);
    EXPECT_EQ(std::memcmp(r->data.data(), "PLKV", 4), 0);
    EXPECT_EQ(le16(r->data, 16), 14);
}

TEST(Faults, KalderOtherByteOrder) {
    Udp u(kLab0);
    u.send(kalder_discovery(), "198.18.0.28", 5016);
    auto r = u.next(1000);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->data.size(), 94u);
    EXPECT_EQ(std::memcmp(r->data.data(), "VKLP", 4), 0);
    EXPECT_EQ(be16(r->data, 16), 1);
}

TEST(Faults, KalderVanishesAfterItsFirstTransfer) {
    Udp u(kLab0);
    u.send(kalder_discovery(), "198.18.0.29", 5016);
    auto r = u.next(1000);
    ASSERT_TRUE(r && kalder_reply(*r, 94, 1));
    u.send(kalder_req(2, 0, 128), "198.18.0.29", 5016);
    r = u.next(1000);
    ASSERT_TRUE(r && kalder_reply(*r, 278, 2));  // the first chunk still comes
    u.send(kalder_req(2, 128, 128), "198.18.0.29", 5016);
    EXPECT_FALSE(u.next(500));  // then it is gone
    u.send(kalder_discovery(), "198.18.0.29", 5016);
    EXPECT_FALSE(u.next(300));
}

TEST(Faults, GostelSubcommandAndSilentSlot) {
    auto r = gostel_exchange("198.18.0.30", gostel_eeprom(1, 0, 0, 256));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data.size(), 276u);
    EXPECT_EQ(le16(r->data, 6), 14);
    EXPECT_NE(le16(r->data, 8), 1);

    EXPECT_TRUE(gostel_exchange("198.18.0.31", gostel_short(3)));           // the chassis answers
    EXPECT_TRUE(gostel_exchange("198.18.0.31", gostel_eeprom(3, 1, 0, 256)));  // so does slot 1
    EXPECT_FALSE(gostel_exchange("198.18.0.31", gostel_eeprom(3, 3, 0, 256), 500));  // slot 3 is silent
}

TEST(Faults, HevraNoIdentifyAndWrongCode) {
    {
        Tcp t("198.18.0.34");
        ASSERT_TRUE(t.ok());
        EXPECT_TRUE(t.exchange(hevra_identify(), 1, 500).empty());
        // Everything else still answers.
        const std::array<std::uint8_t, 6> st{0x02, 0x00, 0x5e, 0x00, 0x00, 0x34};
        Bytes ctl = t.exchange(hevra_eeprom(0x00C2, st, 0, 0, 256), 288);
        ASSERT_GE(ctl.size(), 288u);
        EXPECT_EQ(text_at(ctl, 32 + 76), "NS-HE-NOID");
    }
    Tcp t("198.18.0.35");
    ASSERT_TRUE(t.ok());
    Bytes id = t.exchange(hevra_identify(), 100);
    ASSERT_EQ(id.size(), 100u);
    EXPECT_NE(be16(id, 0), 0x80FD);
}

// Run with net-echo-lab.ini only.
TEST(Echo, OwnBroadcastComesBackFromOwnAddress) {
    Udp u(kLab0);
    const Bytes req = hevra_discovery();
    u.send(req, "255.255.255.255", 8000);
    const auto got = u.collect(300);
    ASSERT_EQ(senders(got), (std::set<std::string>{"198.18.0.1", "198.18.0.10"}));
    for (const auto& d : got) {
        EXPECT_TRUE(hevra_discovery_ok(d));  // both pass length, magic and CRC
        if (d.from == "198.18.0.1") EXPECT_EQ(d.data, req);
        else EXPECT_NE(d.data, req);
    }
}

// ---- Persistence across two lab runs ----

std::string mark_file() {
    const char* m = std::getenv("BREVANE_NET_SELFTEST_MARK");
    return m ? m : "";
}

struct Marks {
    Bytes evra, kalder, gostel_card, hevra_ctl;
};

Marks fresh_marks() {
    const auto now = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
    auto p = [&](int k) { return pattern(static_cast<std::uint8_t>(now >> (8 * k))); };
    Marks m{p(0), Bytes(), p(2), p(3)};
    const Bytes k = p(1);
    m.kalder = Bytes(k.begin(), k.begin() + 16);
    return m;
}

TEST(NetPersist, FirstRun) {
    ASSERT_FALSE(mark_file().empty());
    const Marks m = fresh_marks();
    Udp u(kLab0);
    u.send(evra_write(m.evra), "198.18.0.10", 5006);
    ASSERT_TRUE(u.next(1000));
    u.send(kalder_req(3, 40, 8, m.kalder), "198.18.0.11", 5016);
    ASSERT_TRUE(u.next(1000));
    ASSERT_TRUE(gostel_exchange("198.18.0.12", gostel_eeprom(4, 3, 0, 256, m.gostel_card)));
    Tcp t("198.18.0.13");
    ASSERT_TRUE(t.ok());
    ASSERT_FALSE(t.exchange(hevra_eeprom(0x00C3, kHeGoodStation, 0, 0, 256, m.hevra_ctl), 1).empty());
    std::ofstream f(mark_file(), std::ios::binary);
    for (const Bytes* b : {&m.evra, &m.kalder, &m.gostel_card, &m.hevra_ctl})
        f.write(reinterpret_cast<const char*>(b->data()), static_cast<std::streamsize>(b->size()));
}

TEST(NetPersist, SecondRun) {
    std::ifstream f(mark_file(), std::ios::binary);
    Marks m{Bytes(256), Bytes(16), Bytes(256), Bytes(256)};
    for (Bytes* b : {&m.evra, &m.kalder, &m.gostel_card, &m.hevra_ctl})
        ASSERT_TRUE(f.read(reinterpret_cast<char*>(b->data()), static_cast<std::streamsize>(b->size())));
    EXPECT_EQ(evra_read_image("198.18.0.10"), m.evra);
    Udp u(kLab0);
    u.send(kalder_req(2, 40, 8), "198.18.0.11", 5016);
    auto r = u.next(1000);
    ASSERT_TRUE(r && kalder_reply(*r, 278, 2));
    EXPECT_TRUE(std::equal(m.kalder.begin(), m.kalder.end(), r->data.begin() + 22));
    auto g = gostel_exchange("198.18.0.12", gostel_eeprom(3, 3, 0, 256));
    ASSERT_TRUE(g);
    EXPECT_EQ(Bytes(g->data.begin() + 20, g->data.end()), m.gostel_card);
    Tcp t("198.18.0.13");
    ASSERT_TRUE(t.ok());
    Bytes ctl = t.exchange(hevra_eeprom(0x00C2, kHeGoodStation, 0, 0, 256), 288);
    ASSERT_GE(ctl.size(), 288u);
    EXPECT_EQ(Bytes(ctl.begin() + 32, ctl.begin() + 288), m.hevra_ctl);
}

}  // namespace
