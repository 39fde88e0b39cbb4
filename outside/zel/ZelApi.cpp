// libZelAPI over the server protocol (outside/PROTOCOLS.md): one TCP
// connection to the chassis server and a receive thread that turns its
// frames into call-back messages.
#include "ZelApi.h"

#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "ZelWire.h"

#define ZEL_EXPORT extern "C" __attribute__((visibility("default")))

using namespace zelwire;

namespace {

constexpr std::size_t kPayload = 20;

struct State {
    std::mutex lock;       // the connection and the call-back
    std::mutex sendLock;
    ZEL_CALLBACK callback = nullptr;
    int fd = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<int> lockResult{-1};
    std::mutex lockAnswered;  // with lockChanged: the lock reply has come
    std::condition_variable lockChanged;
};

State& S() {
    static State* s = new State;  // the receive thread may outlive static destruction
    return *s;
}

void Deliver(const Bytes& m) {
    ZEL_CALLBACK cb;
    {
        std::lock_guard<std::mutex> g(S().lock);
        cb = S().callback;
    }
    if (cb) cb(m.data(), static_cast<std::uint32_t>(m.size()));
}

Bytes Message(std::uint16_t code, std::size_t payload) {
    Bytes m(kPayload + payload, 0);
    PutU16(m, 0, code);
    PutU16(m, 2, static_cast<std::uint16_t>(m.size()));
    return m;
}

void OnFrame(const Bytes& f) {
    const std::uint8_t op = f[0];
    if (op == 0x81 && f.size() >= 3) {  // port report: count, entries
        const std::size_t entries = (f.size() - 3) / 6;
        Bytes m = Message(0x80FE, 2 + 6 * entries);
        std::copy(f.begin() + 1, f.begin() + 3 + static_cast<std::ptrdiff_t>(6 * entries), m.begin() + kPayload);
        Deliver(m);
    } else if (op == 0x83 && f.size() == 1 + 262) {
        Bytes m = Message(0x1E00, 262);
        std::copy(f.begin() + 1, f.end(), m.begin() + kPayload);
        Deliver(m);
    } else if (op == 0x84) {
        // Only the chassis's answer to the EEPROM write is its write-done; the
        // server's receipt of an extra block (0x87) raises no message.
        Deliver(Message(0x80E1, 0));
    } else if ((op == 0x85 || op == 0x86) && f.size() == 2) {
        {
            std::lock_guard<std::mutex> g(S().lockAnswered);
            S().lockResult = f[1];
        }
        S().lockChanged.notify_all();
    }
}

void Receive(int fd) {
    Bytes in;
    std::uint8_t buf[8192];
    while (!S().stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;  // the server went away
        in.insert(in.end(), buf, buf + n);
        while (in.size() >= 2) {
            const std::size_t len = GetU16(in.data());
            if (len == 0 || in.size() < 2 + len) break;
            OnFrame(Bytes(in.begin() + 2, in.begin() + 2 + static_cast<std::ptrdiff_t>(len)));
            in.erase(in.begin(), in.begin() + 2 + static_cast<std::ptrdiff_t>(len));
        }
    }
}

bool SendFrame(std::uint8_t op, const Bytes& body) {
    std::lock_guard<std::mutex> g(S().sendLock);
    int fd;
    {
        std::lock_guard<std::mutex> h(S().lock);
        fd = S().fd;
    }
    if (fd < 0) return false;
    const Bytes f = Frame(op, body);
    return ::send(fd, f.data(), f.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(f.size());
}

void Close() {
    int fd;
    {
        std::lock_guard<std::mutex> g(S().lock);
        fd = S().fd;
        S().fd = -1;
    }
    S().stop = true;
    if (S().thread.joinable()) S().thread.join();
    if (fd >= 0) ::close(fd);
    S().stop = false;
}

Bytes Place(std::uint16_t chassis, std::uint8_t slot, std::uint8_t port, std::uint8_t sub) {
    Bytes b(5, 0);
    PutU16(b, 0, chassis);
    b[2] = slot;
    b[3] = port;
    b[4] = sub;
    return b;
}

bool Write(std::uint16_t chassis, std::uint8_t slot, std::uint8_t port, std::uint8_t sub, const std::uint8_t* buffer,
           std::uint16_t start, std::uint16_t words) {
    if (std::size_t{start} * 2 + std::size_t{words} * 2 > 256) return false;
    Bytes body = Place(chassis, slot, port, sub);
    body.resize(9);
    PutU16(body, 5, start);
    PutU16(body, 7, words);
    body.insert(body.end(), buffer + start * 2, buffer + start * 2 + words * 2);
    return SendFrame(4, body);
}

std::uint16_t LockFile(std::uint8_t op, const char* path) {
    if (!path) return 0;
    std::ifstream f(path, std::ios::binary);
    Bytes body(1, 0);
    std::string line;
    while (std::getline(f, line) && body[0] < 64) {
        unsigned c = 0, s = 0, p = 0;
        char comma1 = 0, comma2 = 0;
        std::istringstream in(line);
        if (!(in >> c >> comma1 >> s >> comma2 >> p) || comma1 != ',' || comma2 != ',' || c > 0xFFFF || s > 255 ||
            p > 255)
            continue;
        body.push_back(static_cast<std::uint8_t>(c >> 8));
        body.push_back(static_cast<std::uint8_t>(c));
        body.push_back(static_cast<std::uint8_t>(s));
        body.push_back(static_cast<std::uint8_t>(p));
        ++body[0];
    }
    if (body[0] == 0) return 0;
    S().lockResult = -1;
    if (!SendFrame(op, body)) return 0;
    std::unique_lock<std::mutex> wait(S().lockAnswered);
    S().lockChanged.wait_for(wait, std::chrono::seconds(1), [] { return S().lockResult.load() >= 0; });
    return S().lockResult.load() == 1 ? 1 : 0;
}

}  // namespace

ZEL_EXPORT int32_t Zel_SYS_Init(ZEL_CALLBACK callback, int32_t) {
    std::lock_guard<std::mutex> g(S().lock);
    S().callback = callback;
    return 1;
}

ZEL_EXPORT int32_t Zel_SYS_ConnectToServer(const char* address) {
    in_addr a{};
    if (!address || ::inet_pton(AF_INET, address, &a) != 1) return 0;
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kServerPort);
    to.sin_addr = a;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return 0;
    }
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (::poll(&p, 1, 1000) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        ::close(fd);
        return 0;
    }
    {
        std::lock_guard<std::mutex> g(S().lock);
        S().fd = fd;
        S().thread = std::thread(Receive, fd);
    }
    return SendFrame(1, {}) ? 1 : 0;
}

ZEL_EXPORT void Zel_SYS_TerminateProcess(void) { Close(); }

ZEL_EXPORT void Zel_SYS_GetVerNum(char* text) {
    if (text) std::strcpy(text, "2.4.1");
}

ZEL_EXPORT uint16_t Zel_LockPortStatus_RdFile(const char* path) { return LockFile(5, path); }
ZEL_EXPORT uint16_t Zel_UnLockPortStatus_RdFile(const char* path) { return LockFile(6, path); }

// ---- per-model entries ----

#define ZEL_BUFFER(M) extern "C" { __attribute__((visibility("default"))) uint8_t M##_eeprom_93c56[256]; }
#define ZEL_STANDALONE(M)                                                                                     \
    ZEL_BUFFER(M)                                                                                             \
    ZEL_EXPORT int32_t Zel_##M##_93C56_Read(uint16_t c, uint8_t s, uint8_t p) {                               \
        return SendFrame(3, Place(c, s, p, 0)) ? 1 : 0;                                                       \
    }                                                                                                         \
    ZEL_EXPORT int32_t Zel_##M##_93C56_Write(uint16_t c, uint8_t s, uint8_t p, uint16_t start, uint16_t w) { \
        return Write(c, s, p, 0, M##_eeprom_93c56, start, w) ? 1 : 0;                                         \
    }
#define ZEL_CHASSIS_PART(M)                                                                                   \
    ZEL_BUFFER(M)                                                                                             \
    ZEL_EXPORT int32_t Zel_##M##_93C56_Read(uint16_t c, uint8_t s, uint8_t p, uint16_t sub) {                 \
        return SendFrame(3, Place(c, s, p, static_cast<uint8_t>(sub))) ? 1 : 0;                               \
    }                                                                                                         \
    ZEL_EXPORT int32_t Zel_##M##_93C56_Write(uint16_t c, uint8_t s, uint8_t p, uint16_t sub, uint16_t start, \
                                             uint16_t w) {                                                    \
        return Write(c, s, p, static_cast<uint8_t>(sub), M##_eeprom_93c56, start, w) ? 1 : 0;                 \
    }
#define ZEL_LOCATION_BLOCK(M)                                                                                 \
    extern "C" { __attribute__((visibility("default"))) uint8_t M##_eeprom[256]; }                          \
    ZEL_EXPORT int32_t Zel_##M##_EEPROMRead(uint16_t c, uint8_t s, uint8_t p, const uint8_t* block) {         \
        return block ? (SendFrame(3, Place(c, s, p, 0)) ? 1 : 0) : 0;                                         \
    }                                                                                                         \
    ZEL_EXPORT int32_t Zel_##M##_EEPROMWrite(uint16_t c, uint8_t s, uint8_t p, const uint8_t* block) {        \
        if (!block) return 0;                                                                                 \
        const uint16_t words = GetU16(block + 4);                                                             \
        return words <= 128 && Write(c, s, p, 0, block + 6, 0, words) ? 1 : 0;                                \
    }
#define ZEL_EXTRA_BLOCK(M)                                                                                    \
    extern "C" { __attribute__((visibility("default"))) uint8_t M##_eeprom[256]; }                          \
    ZEL_EXPORT int32_t Zel_##M##_EEPROMWrite(uint16_t c, uint8_t s, uint8_t p, const uint8_t* block) {        \
        if (!block) return 0;                                                                                 \
        Bytes body = Place(c, s, p, 0);                                                                       \
        body.resize(4);                                                                                       \
        body.insert(body.end(), block + 4, block + 68);                                                       \
        return SendFrame(7, body) ? 1 : 0;                                                                    \
    }

ZEL_STANDALONE(Module)
ZEL_STANDALONE(GX49)
ZEL_STANDALONE(GX51)
ZEL_STANDALONE(GX56)
ZEL_STANDALONE(FX69)
ZEL_STANDALONE(GX128)
ZEL_STANDALONE(TG200)
ZEL_CHASSIS_PART(CH4)
ZEL_CHASSIS_PART(CH8)
ZEL_CHASSIS_PART(CH16)
ZEL_CHASSIS_PART(CHM)
ZEL_CHASSIS_PART(CHX)
ZEL_LOCATION_BLOCK(LB430)
ZEL_LOCATION_BLOCK(LB440)
ZEL_LOCATION_BLOCK(LB450)
ZEL_LOCATION_BLOCK(LB460)
ZEL_LOCATION_BLOCK(FAN8)
ZEL_LOCATION_BLOCK(FAN16)
ZEL_LOCATION_BLOCK(FANM)
ZEL_EXTRA_BLOCK(PX84)
ZEL_EXTRA_BLOCK(PX87)
ZEL_EXTRA_BLOCK(PX88)
ZEL_EXTRA_BLOCK(PX100)
ZEL_EXTRA_BLOCK(PX101)
ZEL_EXTRA_BLOCK(PX102)

__attribute__((destructor)) static void ZelUnload() { Close(); }
