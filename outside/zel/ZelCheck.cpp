// libZelAPI-HardwareCheck: finds chassis servers on every local segment by a
// discovery datagram to each interface's broadcast address (300 ms).
#include <poll.h>

#include <algorithm>
#include <chrono>

#include "ZelApi.h"
#include "ZelWire.h"

using namespace zelwire;

extern "C" __attribute__((visibility("default"))) uint8_t ZelAPI_DiscoverServer(uint8_t* area, int32_t) {
    if (!area) return 0;
    std::fill(area, area + 256, 0);
    std::vector<int> fds;
    for (const auto& [local, broadcast] : BroadcastInterfaces()) {
        const int fd = UdpSocket(local, 0);
        if (fd < 0) continue;
        if (SendTo(fd, Datagram("ZSVQ", 1, 1, 0), broadcast, kDiscoveryPort)) fds.push_back(fd);
        else ::close(fd);
    }
    std::vector<std::uint32_t> found;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    std::uint8_t buf[64];
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
            if (n != 8 || std::memcmp(buf, "ZSVA", 4) != 0 || buf[4] != 0x81) continue;
            const std::uint32_t a = ntohl(from.sin_addr.s_addr);
            if (std::find(found.begin(), found.end(), a) == found.end() && found.size() < 50) found.push_back(a);
        }
    }
    for (int fd : fds) ::close(fd);
    const std::uint32_t count = static_cast<std::uint32_t>(found.size());
    std::memcpy(area, &count, 4);
    for (std::size_t i = 0; i < found.size(); ++i)
        for (int b = 0; b < 4; ++b) area[4 + 5 * i + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(found[i] >> (24 - 8 * b));
    return 1;
}
