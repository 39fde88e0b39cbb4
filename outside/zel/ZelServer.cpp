// ZelServerAP: the chassis server. Finds the Orvel chassis on its segments,
// reports their ports to clients of the library and carries their EEPROM
// requests and port locks (outside/PROTOCOLS.md).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>

#include "ZelWire.h"

using namespace zelwire;

namespace {

using Clock = std::chrono::steady_clock;
using PortKey = std::tuple<std::uint16_t, std::uint8_t, std::uint8_t>;  // chassis, slot, port

volatile sig_atomic_t g_stop = 0;

struct Client {
    int fd;
    Bytes in;
};

struct Pending {
    int client;
    std::uint8_t op;
    std::uint16_t chassis;
    Clock::time_point since;
};

class Server {
public:
    bool Open() {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kServerPort);
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(m_listen, 8) != 0) {
            std::perror("ZelServerAP: server port");
            return false;
        }
        m_discovery = UdpSocket(INADDR_ANY, kDiscoveryPort);
        m_chassisFd = UdpSocket(INADDR_ANY, 0);
        if (m_discovery < 0 || m_chassisFd < 0) {
            std::perror("ZelServerAP: datagram sockets");
            return false;
        }
        return true;
    }

    void Run() {
        while (!g_stop) {
            std::vector<pollfd> p = {{m_listen, POLLIN, 0}, {m_discovery, POLLIN, 0}, {m_chassisFd, POLLIN, 0}};
            for (const auto& [fd, c] : m_clients) p.push_back({fd, POLLIN, 0});
            if (::poll(p.data(), p.size(), 200) < 0) continue;
            if (p[0].revents & POLLIN) Accept();
            if (p[1].revents & POLLIN) AnswerDiscovery();
            if (p[2].revents & POLLIN) FromChassis();
            for (std::size_t i = 3; i < p.size(); ++i)
                if (p[i].revents & (POLLIN | POLLHUP | POLLERR)) FromClient(p[i].fd);
            const auto now = Clock::now();
            for (auto it = m_pending.begin(); it != m_pending.end();)
                it = now - it->second.since > std::chrono::seconds(15) ? m_pending.erase(it) : std::next(it);
        }
    }

private:
    void Accept() {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) m_clients[fd] = Client{fd, {}};
    }

    void AnswerDiscovery() {
        std::uint8_t buf[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(m_discovery, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n != 8 || std::memcmp(buf, "ZSVQ", 4) != 0 || buf[4] != 1) return;
        Bytes reply = Datagram("ZSVA", 0x81, GetU16(buf + 6), 0);
        SendTo(m_discovery, reply, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
    }

    // Asks every segment for its chassis (300 ms) and keeps their reports.
    void FindChassis() {
        m_chassis.clear();
        m_report.clear();
        m_notReady = false;
        const std::uint16_t seq = ++m_seq;
        for (const auto& [local, broadcast] : BroadcastInterfaces())
            SendTo(m_chassisFd, Datagram("ZCHQ", 1, seq, 0), broadcast, kChassisPort);
        const auto end = Clock::now() + std::chrono::milliseconds(300);
        std::uint8_t buf[65536];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{m_chassisFd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(m_chassisFd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 12 || std::memcmp(buf, "ZCHA", 4) != 0 || buf[4] != 0x81 || GetU16(buf + 6) != seq) continue;
            const std::uint16_t chassis = GetU16(buf + 8), count = GetU16(buf + 10);
            if (m_chassis.count(chassis)) continue;
            m_chassis[chassis] = ntohl(from.sin_addr.s_addr);
            if (count == 0xFFFF) {  // the chassis has not finished its inventory
                m_notReady = true;
                continue;
            }
            const std::size_t have = std::min<std::size_t>(count, (static_cast<std::size_t>(n) - 12) / 6);
            m_report.insert(m_report.end(), buf + 12, buf + 12 + 6 * have);
        }
    }

    void Send(int fd, std::uint8_t op, const Bytes& body) {
        const Bytes f = Frame(op, body);
        [[maybe_unused]] const ssize_t w = ::send(fd, f.data(), f.size(), MSG_NOSIGNAL);
    }

    void Drop(int fd) {
        for (auto it = m_locks.begin(); it != m_locks.end();) {
            if (it->second == fd) {
                ChassisLock(it->first, 0, false);
                it = m_locks.erase(it);
            } else {
                ++it;
            }
        }
        // Answers still due to this connection die with it: a later
        // connection given the same descriptor must not receive them.
        for (auto it = m_pending.begin(); it != m_pending.end();)
            it = it->second.client == fd ? m_pending.erase(it) : std::next(it);
        ::close(fd);
        m_clients.erase(fd);
    }

    void FromClient(int fd) {
        Client& c = m_clients[fd];
        std::uint8_t buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            Drop(fd);
            return;
        }
        c.in.insert(c.in.end(), buf, buf + n);
        while (c.in.size() >= 2) {
            const std::size_t len = GetU16(c.in.data());
            if (len == 0 || c.in.size() < 2 + len) break;
            const Bytes frame(c.in.begin() + 2, c.in.begin() + 2 + static_cast<std::ptrdiff_t>(len));
            c.in.erase(c.in.begin(), c.in.begin() + 2 + static_cast<std::ptrdiff_t>(len));
            Handle(fd, frame);
            if (!m_clients.count(fd)) return;
        }
    }

    void Handle(int fd, const Bytes& f) {
        const std::uint8_t op = f[0];
        if (op == 1) {
            FindChassis();
            const std::size_t count = m_report.size() / 6;
            Bytes body(2, 0);
            PutU16(body, 0, m_notReady ? 0xFFFF : static_cast<std::uint16_t>(count));
            body.insert(body.end(), m_report.begin(), m_report.end());
            Send(fd, 0x81, body);
        } else if ((op == 3 && f.size() == 6) || (op == 4 && f.size() >= 10) || (op == 7 && f.size() == 5 + 64)) {
            const std::uint16_t chassis = GetU16(&f[1]);
            auto where = m_chassis.find(chassis);
            if (where == m_chassis.end()) return;  // unknown chassis: no reply
            if (op == 7) {  // the extra configuration block is kept by the server
                Send(fd, 0x87, Bytes(f.begin() + 1, f.begin() + 5));
                return;
            }
            const std::uint16_t seq = ++m_seq;
            Bytes d;
            if (op == 3) {
                d = Datagram("ZCHQ", 3, seq, 3);
                d[8] = f[3];
                d[9] = f[4];
                d[10] = f[5];
            } else {
                const std::uint16_t start = GetU16(&f[6]), words = GetU16(&f[8]);
                const std::size_t bytes = std::min<std::size_t>(std::size_t{words} * 2, f.size() - 10);
                d = Datagram("ZCHQ", 4, seq, 8 + bytes);
                d[8] = f[3];
                d[9] = f[4];
                d[10] = f[5];
                PutU16(d, 12, static_cast<std::uint16_t>(start * 2));
                PutU16(d, 14, static_cast<std::uint16_t>(bytes));
                std::copy(f.begin() + 10, f.begin() + 10 + static_cast<std::ptrdiff_t>(bytes), d.begin() + 16);
            }
            m_pending[seq] = Pending{fd, op, chassis, Clock::now()};
            SendTo(m_chassisFd, d, where->second, kChassisPort);
        } else if ((op == 5 || op == 6) && f.size() >= 2 && f.size() == 2 + 4 * std::size_t{f[1]}) {
            std::vector<PortKey> ports;
            for (std::size_t i = 0; i < f[1]; ++i) ports.emplace_back(GetU16(&f[2 + 4 * i]), f[4 + 4 * i], f[5 + 4 * i]);
            std::uint8_t result = 1;
            if (op == 5) {
                for (const auto& k : ports)
                    if (m_locks.count(k)) result = 0;  // a port is locked once
                for (const auto& k : ports)
                    if (result && !ChassisLock(k, 1, true)) result = 0;
                if (result)
                    for (const auto& k : ports) m_locks[k] = fd;
            } else {
                for (const auto& k : ports) {
                    auto it = m_locks.find(k);
                    if (it != m_locks.end() && it->second == fd) {
                        m_locks.erase(it);
                        ChassisLock(k, 0, false);
                    }
                }
            }
            Send(fd, static_cast<std::uint8_t>(op | 0x80), Bytes{result});
        }
    }

    // Tells the chassis; with `wait`, its answer (500 ms limit) decides.
    bool ChassisLock(const PortKey& k, std::uint8_t state, bool wait) {
        auto where = m_chassis.find(std::get<0>(k));
        if (where == m_chassis.end()) return false;
        const std::uint16_t seq = ++m_seq;
        Bytes d = Datagram("ZCHQ", 5, seq, 3);
        d[8] = std::get<1>(k);
        d[9] = std::get<2>(k);
        d[10] = state;
        SendTo(m_chassisFd, d, where->second, kChassisPort);
        if (!wait) return true;
        const auto end = Clock::now() + std::chrono::milliseconds(500);
        std::uint8_t buf[2048];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{m_chassisFd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            const ssize_t n = ::recv(m_chassisFd, buf, sizeof buf, 0);
            if (n == 12 && std::memcmp(buf, "ZCHA", 4) == 0 && buf[4] == 0x85 && GetU16(buf + 6) == seq)
                return buf[11] == 1;
            if (n > 0) OnChassisReply(buf, static_cast<std::size_t>(n));
        }
    }

    void FromChassis() {
        std::uint8_t buf[2048];
        const ssize_t n = ::recv(m_chassisFd, buf, sizeof buf, 0);
        if (n > 0) OnChassisReply(buf, static_cast<std::size_t>(n));
    }

    void OnChassisReply(const std::uint8_t* b, std::size_t n) {
        if (n < 12 || std::memcmp(b, "ZCHA", 4) != 0) return;
        auto it = m_pending.find(GetU16(b + 6));
        if (it == m_pending.end() || (b[4] & 0x7f) != it->second.op) return;
        const Pending p = it->second;
        m_pending.erase(it);
        if (!m_clients.count(p.client)) return;
        Bytes body(4, 0);
        PutU16(body, 0, p.chassis);
        body[2] = b[8];
        body[3] = b[9];
        if (p.op == 3) {
            if (n != 12 + 256) return;  // a short reply is not forwarded
            body.resize(6);
            PutU16(body, 4, 128);
            body.insert(body.end(), b + 12, b + 12 + 256);
        }
        Send(p.client, static_cast<std::uint8_t>(p.op | 0x80), body);
    }

    int m_listen = -1, m_discovery = -1, m_chassisFd = -1;
    std::map<int, Client> m_clients;
    std::map<std::uint16_t, std::uint32_t> m_chassis;  // chassis number -> address
    Bytes m_report;
    bool m_notReady = false;
    std::map<std::uint16_t, Pending> m_pending;
    std::map<PortKey, int> m_locks;  // port -> client holding it
    std::uint16_t m_seq = 0;
};

}  // namespace

int main() {
    // A starter may have blocked signals; this program ends on SIGTERM.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_stop = 1; };
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    Server server;
    if (!server.Open()) return 1;
    server.Run();
    return 0;
}
