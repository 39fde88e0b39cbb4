#include "CComm_Kalder.h"

#include <algorithm>

#include "UdpExchange.h"
#include "base/Log.h"

IMPLEMENT_DYNCREATE(CComm_Kalder, CCommBase)

namespace {
constexpr const char* kLog = "kalder";
}

// Lengths travel as word counts: an odd length cannot be carried whole.
BOOL CUDPLomber::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    if (length > udpx::kMaxWordAddressedLength || length % 2 != 0 || (length > 0 && !buffer)) return FALSE;
    const std::size_t chunks = wire::ChunkCount(length, lomber::kKalderChunk);
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t n = wire::ChunkLength(length, lomber::kKalderChunk, k);
        const auto words = static_cast<std::uint16_t>(k * lomber::kKalderChunk / 2);
        const auto request = lomber::KalderReadRequest(words, static_cast<std::uint16_t>(n / 2));
        auto reply = udpx::Exchange(m_socket, request, m_device, lomber::kKalderPort, kReplyPolls,
                                    [&](const platform::Datagram& d) {
                                        return d.sender == m_device && lomber::KalderReadData(d.bytes, words);
                                    });
        if (!reply) {
            LOG_WARN(kLog, "read %s chunk %zu: no reply", m_device.c_str(), k);
            return FALSE;
        }
        const auto data = *lomber::KalderReadData(reply->bytes, words);
        std::copy_n(data.begin(), n, buffer + k * lomber::kKalderChunk);
    }
    return TRUE;
}

BOOL CUDPLomber::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    if (length > udpx::kMaxWordAddressedLength || length % 2 != 0 || (length > 0 && !buffer)) return FALSE;
    const std::size_t chunks = wire::ChunkCount(length, lomber::kKalderChunk);
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t n = wire::ChunkLength(length, lomber::kKalderChunk, k);
        const auto words = static_cast<std::uint16_t>(k * lomber::kKalderChunk / 2);
        const auto request = lomber::KalderWriteRequest(words, static_cast<std::uint16_t>(n / 2),
                                                        wire::Bytes(buffer + k * lomber::kKalderChunk, n));
        auto reply = udpx::Exchange(m_socket, request, m_device, lomber::kKalderPort, kReplyPolls,
                                    [&](const platform::Datagram& d) {
                                        return d.sender == m_device && lomber::IsKalderWriteReply(d.bytes);
                                    },
                                    false);  // a write's polls are never cut
        if (!reply) {
            LOG_WARN(kLog, "write %s chunk %zu: no acknowledgement", m_device.c_str(), k);
            return FALSE;
        }
    }
    return TRUE;
}
