// libVorn-API over the Vorn chassis protocol (outside/PROTOCOLS.md): one UDP
// socket to the connected chassis, a receive thread that turns replies into
// call-back messages.
#include "VornApi.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#define VORN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr std::uint16_t kPort = 7401;
constexpr std::size_t kHead = 8;  // magic, op, status, sequence
constexpr std::uint8_t kOpDiscover = 1, kOpSlots = 2, kOpRead = 3, kOpWrite = 4, kOpLock = 5;
constexpr std::size_t kSlotTableSize = 108 + 64 * 16;
constexpr std::size_t kReplyData = 36;

using Bytes = std::vector<std::uint8_t>;

void PutU16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
void PutU32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
std::uint16_t GetU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t GetU32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

Bytes Request(std::uint8_t op, std::uint16_t seq, std::size_t body) {
    Bytes b(kHead + body, 0);
    std::memcpy(b.data(), "VRNQ", 4);
    b[4] = op;
    PutU16(b, 6, seq);
    return b;
}

bool IsReply(const std::uint8_t* p, std::size_t n, std::uint8_t op) {
    return n >= kHead && std::memcmp(p, "VRNA", 4) == 0 && p[4] == (op | 0x80);
}

int MakeSocket(std::uint32_t bindAddress) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(bindAddress);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendTo(int fd, const Bytes& b, std::uint32_t address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPort);
    a.sin_addr.s_addr = htonl(address);
    return ::sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(b.size());
}

// What a pending request turns into when its reply arrives.
struct Pending {
    std::uint16_t seq;
    std::uint8_t op;
    std::uint8_t message;  // call-back code
    std::uint8_t slot;
};

struct State {
    std::mutex lock;
    VORN_CALLBACK callback = nullptr;
    int fd = -1;
    std::uint32_t chassis = 0;
    std::uint16_t seq = 0;
    std::vector<Pending> pending;
    std::thread thread;
    std::atomic<bool> stop{false};
    // Lock replies are waited for by the calling thread.
    std::atomic<int> lockResult{-1};
    std::atomic<std::uint16_t> lockSeq{0};
    std::mutex lockAnswered;                // with lockChanged: the lock reply has come
    std::condition_variable lockChanged;
};

// Never destroyed: the receive thread may still run while the process ends.
State& S() {
    static State* s = new State;
    return *s;
}

void Deliver(const Bytes& message) {
    VORN_CALLBACK cb;
    {
        std::lock_guard<std::mutex> g(S().lock);
        cb = S().callback;
    }
    if (cb) cb(message.data(), static_cast<std::uint32_t>(message.size()));
}

// The slot table message: station identity at 24, entries of 64 bytes from
// 108 (card type big-endian at 0, presence in host order at 56).
Bytes SlotTableMessage(const std::uint8_t* body, std::size_t n, std::uint32_t chassis) {
    Bytes m(kSlotTableSize, 0);
    PutU16(m, 0, 0x8000 | VORN_MSG_SLOT_TABLE);
    PutU16(m, 2, static_cast<std::uint16_t>(kSlotTableSize));
    PutU32(m, 4, chassis);
    if (n < 6 + 16 * 6) return m;
    std::memcpy(m.data() + 24, body, 6);
    for (std::size_t i = 0; i < 16; ++i) {
        const std::uint8_t* e = body + 6 + 6 * i;
        std::uint8_t* out = m.data() + 108 + 64 * i;
        out[0] = e[0];
        out[1] = e[1];
        const std::uint32_t presence = GetU32(e + 2);
        std::memcpy(out + 56, &presence, 4);
    }
    return m;
}

void OnDatagram(const std::uint8_t* p, std::size_t n) {
    if (n < kHead || std::memcmp(p, "VRNA", 4) != 0) return;
    const std::uint8_t op = p[4] & 0x7f;
    const std::uint16_t seq = GetU16(p + 6);
    if (op == kOpLock) {
        if (n >= kHead + 3 && seq == S().lockSeq.load()) {
            {
                std::lock_guard<std::mutex> g(S().lockAnswered);
                S().lockResult = p[kHead + 2];
            }
            S().lockChanged.notify_all();
        }
        return;
    }
    Pending found{};
    std::uint32_t chassis;
    {
        std::lock_guard<std::mutex> g(S().lock);
        auto it = std::find_if(S().pending.begin(), S().pending.end(),
                               [&](const Pending& q) { return q.seq == seq && q.op == op; });
        if (it == S().pending.end()) return;  // stale or unasked
        found = *it;
        S().pending.erase(it);
        chassis = S().chassis;
    }
    const std::uint8_t* body = p + kHead;
    const std::size_t bodyLen = n - kHead;
    if (op == kOpSlots) {
        Deliver(SlotTableMessage(body, bodyLen, chassis));
        return;
    }
    if (bodyLen < 6) return;
    const std::uint16_t start = GetU16(body + 2), count = GetU16(body + 4);
    const bool read = op == kOpRead;
    const std::size_t data = read ? std::min<std::size_t>(count, bodyLen - 6) : 0;
    Bytes m(kReplyData + data, 0);
    PutU16(m, 0, 0x8000 | found.message);
    PutU16(m, 2, static_cast<std::uint16_t>(m.size()));
    PutU32(m, 4, chassis);
    m[8] = body[0];
    PutU16(m, 10, start);
    PutU16(m, 12, static_cast<std::uint16_t>(read ? data : count));
    m[14] = p[5];  // status
    if (data) std::memcpy(m.data() + kReplyData, body + 6, data);
    Deliver(m);
}

void Receive() {
    std::vector<std::uint8_t> buf(65536);
    while (!S().stop) {
        int fd;
        {
            std::lock_guard<std::mutex> g(S().lock);
            fd = S().fd;
        }
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n > 0) OnDatagram(buf.data(), static_cast<std::size_t>(n));
    }
}

// Sends a request to the connected chassis; the reply becomes `message`.
bool Send(std::uint8_t op, std::uint8_t message, std::uint8_t slot, Bytes body) {
    std::lock_guard<std::mutex> g(S().lock);
    if (S().fd < 0 || !S().chassis) return false;
    const std::uint16_t seq = ++S().seq;
    Bytes b = Request(op, seq, body.size());
    std::copy(body.begin(), body.end(), b.begin() + kHead);
    S().pending.push_back({seq, op, message, slot});
    if (S().pending.size() > 64) S().pending.erase(S().pending.begin());
    return SendTo(S().fd, b, S().chassis);
}

Bytes TransferBody(std::uint8_t slot, const VORN_LOCATION& w, const std::uint8_t* data) {
    const std::uint16_t count = std::min<std::uint16_t>(w.count, 1024);
    Bytes body(6 + (data ? count : 0), 0);
    body[0] = slot;
    PutU16(body, 2, w.start);
    PutU16(body, 4, count);
    if (data) std::memcpy(body.data() + 6, data, count);
    return body;
}

}  // namespace

VORN_EXPORT int32_t Zel_Vorn_SYS_GetServer(uint32_t* addresses) {
    if (!addresses) return 0;
    std::fill(addresses, addresses + 10, 0u);
    std::vector<std::uint32_t> found;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> interfaces;  // address, broadcast
    for (ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
            (i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_BROADCAST) || !i->ifa_broadaddr)
            continue;
        interfaces.emplace_back(ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr),
                                ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr));
    }
    ::freeifaddrs(all);
    std::vector<int> fds;
    for (const auto& [local, broadcast] : interfaces) {
        const int fd = MakeSocket(local);
        if (fd < 0) continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        if (SendTo(fd, Request(kOpDiscover, 0, 0), broadcast)) fds.push_back(fd);
        else ::close(fd);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    std::uint8_t buf[512];
    while (!fds.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        std::vector<pollfd> p;
        for (int fd : fds) p.push_back({fd, POLLIN, 0});
        if (::poll(p.data(), p.size(), static_cast<int>(left)) <= 0) continue;
        for (const auto& q : p) {
            if (!(q.revents & POLLIN)) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(q.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0 || !IsReply(buf, static_cast<std::size_t>(n), kOpDiscover)) continue;
            const std::uint32_t a = ntohl(from.sin_addr.s_addr);
            if (std::find(found.begin(), found.end(), a) == found.end() && found.size() < 10) found.push_back(a);
        }
    }
    for (int fd : fds) ::close(fd);
    std::copy(found.begin(), found.end(), addresses);
    return found.empty() ? 0 : 1;
}

VORN_EXPORT int32_t Zel_Vorn_SYS_Init(VORN_CALLBACK callback, int32_t, int32_t) {
    std::lock_guard<std::mutex> g(S().lock);
    S().callback = callback;
    if (S().fd < 0) S().fd = MakeSocket(INADDR_ANY);
    if (!S().thread.joinable()) {
        S().stop = false;
        S().thread = std::thread(Receive);
    }
    return S().fd >= 0 ? 1 : 0;
}

VORN_EXPORT int32_t Zel_Vorn_SYS_Connect(uint32_t address) {
    {
        std::lock_guard<std::mutex> g(S().lock);
        S().chassis = address;
        S().pending.clear();
    }
    return Send(kOpSlots, VORN_MSG_SLOT_TABLE, 0xff, {}) ? 1 : 0;
}

VORN_EXPORT int32_t Zel_Vorn_ReadChassisEeprom(VORN_LOCATION where) {
    return Send(kOpRead, VORN_MSG_READ_CONTROLLER, 0xff, TransferBody(0xff, where, nullptr)) ? 1 : 0;
}

VORN_EXPORT int32_t Zel_Vorn_WriteChassisEeprom(VORN_LOCATION_DATA block) {
    return Send(kOpWrite, VORN_MSG_WRITE_CONTROLLER, 0xff, TransferBody(0xff, block.where, block.data)) ? 1 : 0;
}

VORN_EXPORT int32_t Zel_Vorn_Tenq_LockPort(const VORN_PORT* port, uint32_t slot_type, int32_t, int32_t phase) {
    if (!port) return 0;
    const std::uint8_t slot = static_cast<std::uint8_t>(slot_type & 0xff);
    std::uint16_t seq;
    {
        std::lock_guard<std::mutex> g(S().lock);
        if (S().fd < 0 || !S().chassis) return 0;
        seq = ++S().seq;
        S().lockResult = -1;
        S().lockSeq = seq;
        Bytes b = Request(kOpLock, seq, 2);
        b[kHead] = slot;
        b[kHead + 1] = static_cast<std::uint8_t>(phase ? 1 : 0);
        if (!SendTo(S().fd, b, S().chassis)) return 0;
    }
    std::unique_lock<std::mutex> wait(S().lockAnswered);
    S().lockChanged.wait_for(wait, std::chrono::seconds(1), [] { return S().lockResult.load() >= 0; });
    return S().lockResult.load() == 1 ? 1 : 0;
}

VORN_EXPORT int32_t Zel_Vorn_Tenq_ReadEeprom(const VORN_PORT* port, uint32_t slot_type, int32_t, VORN_LOCATION where,
                                             int32_t) {
    if (!port) return 0;
    const std::uint8_t slot = static_cast<std::uint8_t>(slot_type & 0xff);
    return Send(kOpRead, VORN_MSG_READ_CARD, slot, TransferBody(slot, where, nullptr)) ? 1 : 0;
}

VORN_EXPORT int32_t Zel_Vorn_Tenq_WriteEeprom(const VORN_PORT* port, uint32_t slot_type, int32_t,
                                              VORN_LOCATION_DATA block, int32_t) {
    if (!port) return 0;
    const std::uint8_t slot = static_cast<std::uint8_t>(slot_type & 0xff);
    return Send(kOpWrite, VORN_MSG_WRITE_CARD, slot, TransferBody(slot, block.where, block.data)) ? 1 : 0;
}

VORN_EXPORT void Zel_Vorn_SYS_Exit(void) {
    S().stop = true;
    if (S().thread.joinable()) S().thread.join();
    std::lock_guard<std::mutex> g(S().lock);
    if (S().fd >= 0) ::close(S().fd);
    S().fd = -1;
    S().callback = nullptr;
    S().chassis = 0;
    S().pending.clear();
}

// A program that ends without Zel_Vorn_SYS_Exit still stops the thread.
__attribute__((destructor)) static void VornUnload() { Zel_Vorn_SYS_Exit(); }
