// Harlo301API stand-in: detection, connection and EEPROM transfers over raw
// Ethernet frames (PROTOCOL.md), a receive thread that hands every frame to
// the caller's callback.
#include "Harlo301API.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/Log.h"

unsigned char eeprom_93c56[256];
int32_t Harlo_Machine_ID;

namespace {

constexpr const char* kLog = "harlo301api";
constexpr std::uint16_t kEtherType = 0x88B5;
constexpr int kDetectWaitMs = 300;
constexpr int kConnectWaitMs = 500;
constexpr int kReceiveSliceMs = 50;

using Mac = std::array<std::uint8_t, 6>;
using Frame = std::vector<std::uint8_t>;

std::atomic<HARLO_FRAME_CALLBACK> g_callback{nullptr};

// The read or write whose answer the receive thread waits for.
struct Pending {
    std::uint8_t type = 0;  // 0x03 read, 0x04 write, 0 none
    std::uint16_t sequence = 0;
    bool image = false;  // a read's image has arrived
};

struct Link {
    std::mutex lock;  // guards everything below but the thread's own loop and `pending`
    int sock = -1;
    int ifindex = 0;
    Mac own{};
    Mac instrument{};
    bool found = false;  // detection found an instrument; kept until the next detection
    std::uint16_t sequence = 0;
    std::thread receiver;
    std::atomic<bool> stop{false};
    std::mutex pendingLock;  // guards `pending`, shared with the receive thread
    Pending pending;
};

Link& L() {
    static Link link;
    return link;
}

Frame Make(const Mac& to, const Mac& from, std::uint8_t type, std::uint16_t sequence, const Frame& data) {
    Frame f(std::max<std::size_t>(24 + data.size(), 60), 0);
    std::copy(to.begin(), to.end(), f.begin());
    std::copy(from.begin(), from.end(), f.begin() + 6);
    f[12] = kEtherType >> 8;
    f[13] = kEtherType & 0xFF;
    f[14] = type;
    f[16] = static_cast<std::uint8_t>(sequence >> 8);
    f[17] = static_cast<std::uint8_t>(sequence);
    f[22] = static_cast<std::uint8_t>(data.size() >> 8);
    f[23] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.begin() + 24);
    return f;
}

bool Send(int sock, int ifindex, const Frame& f) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex;
    to.sll_halen = 6;
    std::copy_n(f.begin(), 6, to.sll_addr);
    return ::sendto(sock, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(f.size());
}

// A frame of our EtherType within the time limit, of this type when type != 0.
bool Receive(int sock, std::uint8_t type, int limitMs, Frame& out) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{sock, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        Frame f(2048);
        const ssize_t n = ::recv(sock, f.data(), f.size(), MSG_DONTWAIT);
        if (n < 24) continue;
        f.resize(static_cast<std::size_t>(n));
        if (f[12] != (kEtherType >> 8) || f[13] != (kEtherType & 0xFF)) continue;
        if (type && f[14] != type) continue;
        out = std::move(f);
        return true;
    }
}

std::int32_t MachineIdOf(const Frame& f) {
    if (f.size() < 28) return 0;
    return static_cast<std::int32_t>(f[24] | (f[25] << 8) | (f[26] << 16) | (static_cast<std::uint32_t>(f[27]) << 24));
}

int OpenOn(int ifindex) {
    const int s = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherType));
    if (s < 0) return -1;
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(kEtherType);
    a.sll_ifindex = ifindex;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

void StopReceiver(Link& l) {
    l.stop = true;
    if (l.receiver.joinable()) l.receiver.join();
    l.stop = false;
}

// Sends a read or write request and makes it the one whose answer is awaited.
bool SendRequest(Link& l, std::uint8_t type, const Frame& data) {
    const std::uint16_t sequence = ++l.sequence;
    {
        std::lock_guard<std::mutex> hold(l.pendingLock);
        l.pending = Pending{type, sequence, false};
    }
    return Send(l.sock, l.ifindex, Make(l.instrument, l.own, type, sequence, data));
}

// Whether frame f answers the pending request; takes a read's image into
// eeprom_93c56 and ends the request with its completion. A read completes
// only after its own image arrived.
bool Accept(Link& l, const Frame& f) {
    const std::uint16_t sequence = static_cast<std::uint16_t>((f[16] << 8) | f[17]);
    const std::size_t length = static_cast<std::size_t>((f[22] << 8) | f[23]);
    std::lock_guard<std::mutex> hold(l.pendingLock);
    Pending& p = l.pending;
    if (p.type == 0 || sequence != p.sequence) return false;
    if (f[14] == 0x83) {
        if (p.type != 0x03 || length != 256 || f.size() < 24 + 256) return false;
        std::memcpy(eeprom_93c56, f.data() + 24, 256);
        p.image = true;
        return true;
    }
    if (f[14] != 0xFE) return false;
    if (p.type == 0x03 && !p.image) {
        LOG_WARN(kLog, "read %u: completion without the image; the read does not complete",
                 static_cast<unsigned>(sequence));
        return false;
    }
    p = Pending{};
    return true;
}

void ReceiveLoop(int sock) {
    Link& l = L();
    while (!l.stop) {
        Frame f;
        if (!Receive(sock, 0, kReceiveSliceMs, f) || !Accept(l, f)) continue;
        if (HARLO_FRAME_CALLBACK cb = g_callback.load()) cb(f.data(), static_cast<std::uint32_t>(f.size()), 0, 0);
    }
}

// Ends the connection; the instrument found by detection is kept.
void EndConnection(Link& l) {
    StopReceiver(l);
    if (l.sock >= 0) ::close(l.sock);
    l.sock = -1;
    std::lock_guard<std::mutex> hold(l.pendingLock);
    l.pending = Pending{};
}

void CloseLink(Link& l) {
    EndConnection(l);
    l.found = false;
}

}  // namespace

int32_t Harlo301_93C56_Init(HARLO_FRAME_CALLBACK callback) {
    g_callback.store(callback);
    return 1;
}

uint16_t Harlo301_SYS_DetectHarlo301Device(int32_t* found) {
    Link& l = L();
    std::lock_guard<std::mutex> hold(l.lock);
    CloseLink(l);
    if (found) *found = 0;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return 0;
    bool refused = false;
    for (ifaddrs* a = all; a && !l.found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || (a->ifa_flags & IFF_LOOPBACK) ||
            !(a->ifa_flags & IFF_UP))
            continue;
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
        if (ll->sll_hatype != ARPHRD_ETHER || ll->sll_halen != 6) continue;
        const int s = OpenOn(ll->sll_ifindex);
        if (s < 0) {
            refused = refused || errno == EPERM || errno == EACCES;
            continue;
        }
        Mac own{};
        std::copy_n(ll->sll_addr, 6, own.begin());
        const Mac broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        Frame reply;
        if (Send(s, ll->sll_ifindex, Make(broadcast, own, 0x01, ++l.sequence, {})) &&
            Receive(s, 0x81, kDetectWaitMs, reply)) {
            l.sock = s;
            l.ifindex = ll->sll_ifindex;
            l.own = own;
            std::copy_n(reply.begin() + 6, 6, l.instrument.begin());
            l.found = true;
            LOG_INFO(kLog, "instrument on %s", a->ifa_name);
        } else {
            ::close(s);
        }
    }
    ::freeifaddrs(all);
    static std::atomic<bool> said{false};  // once per run of the program
    if (!l.found && refused && !said.exchange(true))
        LOG_ERR(kLog,
                "no network interface could be opened for raw Ethernet: this program lacks the capture "
                "capability. To grant it: sudo setcap cap_net_raw,cap_net_admin+ep on brevane and brevane-cli "
                "(see README, \"Raw Ethernet permission\")");
    if (found) *found = l.found ? 1 : 0;
    return l.found ? 1 : 0;
}

uint16_t Harlo301_SYS_ConnectToHarlo301Device(void) {
    Link& l = L();
    std::lock_guard<std::mutex> hold(l.lock);
    if (!l.found) return 0;
    EndConnection(l);
    l.sock = OpenOn(l.ifindex);
    if (l.sock < 0) return 0;
    Frame reply;
    if (!Send(l.sock, l.ifindex, Make(l.instrument, l.own, 0x02, ++l.sequence, {})) ||
        !Receive(l.sock, 0x82, kConnectWaitMs, reply))
        return 0;
    Harlo_Machine_ID = MachineIdOf(reply);
    l.receiver = std::thread(ReceiveLoop, l.sock);
    return 1;
}

int32_t Harlo301_93C56_Read(void) {
    Link& l = L();
    std::lock_guard<std::mutex> hold(l.lock);
    if (!l.found || !l.receiver.joinable()) return 0;
    return SendRequest(l, 0x03, {}) ? 1 : 0;
}

int32_t Harlo301_93C56_Write(int32_t start, int32_t count) {
    Link& l = L();
    std::lock_guard<std::mutex> hold(l.lock);
    if (!l.found || !l.receiver.joinable() || start < 0 || count < 0 || start + count > 128) return 0;
    Frame data = {static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start),
                  static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)};
    data.insert(data.end(), eeprom_93c56 + 2 * start, eeprom_93c56 + 2 * (start + count));
    return SendRequest(l, 0x04, data) ? 1 : 0;
}

int32_t Harlo301_SYS_TerminateProcess(void) {
    Link& l = L();
    std::lock_guard<std::mutex> hold(l.lock);
    if (l.sock >= 0 && l.receiver.joinable())
        Send(l.sock, l.ifindex, Make(l.instrument, l.own, 0x05, ++l.sequence, {}));
    EndConnection(l);
    return 1;
}
