#include "CUDPVklp.h"

#include <algorithm>

#include "UdpExchange.h"
#include "base/Log.h"
#include "framework/Wait.h"

BOOL CUDPVklp::Discover() { return Discover(platform::LocalIPv4Addresses()); }

BOOL CUDPVklp::Discover(const std::vector<std::string>& localAddresses) {
    Clear();
    const auto request = lomber::DiscoveryRequest(m_dialect);
    const std::uint16_t port = lomber::DevicePort(m_dialect);
    for (const auto& local : localAddresses) {
        if (!m_socket.Create(local)) {
            LOG_WARN(LogPrefix(), "cannot bind a socket to %s; discovery ends", local.c_str());
            break;
        }
        m_socket.EnableBroadcast();
        for (int cycle = 0; cycle < kDiscoveryCycles && !StopRequested(); ++cycle) {
            if (!m_socket.SendTo(request, udpx::kBroadcast, port))
                LOG_WARN(LogPrefix(), "discovery broadcast on %s not sent", local.c_str());
            int misses = 0;
            bool woke = false;  // the last pause ended on a waiting datagram
            for (int polls = 0; misses < kDiscoveryMisses && polls < udpx::kMaxDiscoveryPolls; ++polls) {
                if (StopRequested()) break;
                auto d = m_socket.ReceiveFrom();
                auto address = d ? lomber::DiscoveredAddress(m_dialect, d->bytes) : std::nullopt;
                if (address && !udpx::IsUnicastDeviceAddress(*address, local)) {
                    LOG_WARN(LogPrefix(), "reply from %s names %s, not one device's address; ignored",
                             d->sender.c_str(), platform::FormatIpv4(*address).c_str());
                    address.reset();
                }
                if (address) {
                    const std::string text = platform::FormatIpv4(*address);
                    if (std::find(m_found.begin(), m_found.end(), text) == m_found.end()) {
                        LOG_INFO(LogPrefix(), "device %s answered on %s", text.c_str(), local.c_str());
                        m_found.push_back(text);
                        m_local.push_back(local);
                    }
                    misses = 0;
                } else {
                    ++misses;
                }
                // The pause lets the next reply arrive, after an accepted
                // reply as after a miss.
                woke = udpx::PauseAfterPoll(m_socket,
                                            udpx::OtherThanAwaited(d.has_value(), address.has_value(), woke));
            }
        }
        // Later interfaces are tried only while nothing has answered.
        if (!m_found.empty()) break;
    }
    m_socket.Close();
    if (!m_found.empty()) m_current = 0;
    return m_found.empty() ? FALSE : TRUE;
}

BOOL CUDPVklp::Open() {
    if (m_current < 0 || m_current >= Count()) return FALSE;
    const auto i = static_cast<std::size_t>(m_current);
    m_device = m_found[i];
    if (!m_socket.Create(m_local[i])) return FALSE;
    m_socket.EnableBroadcast();
    return TRUE;
}

void CUDPVklp::Close() { m_socket.Close(); }

void CUDPVklp::Clear() {
    m_found.clear();
    m_local.clear();
}
