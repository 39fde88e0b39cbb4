#include "CComm_Evra.h"

#include <algorithm>

#include "UdpExchange.h"
#include "base/Log.h"
#include "framework/TransferNote.h"

IMPLEMENT_DYNCREATE(CComm_Evra, CCommBase)

namespace {
constexpr const char* kLog = "evra";
}

// The device always moves its whole image; the caller gets the bytes it asked
// for, at most 256. A longer request cannot be served in full and fails.
BOOL CUDPEvra::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    if (length > static_cast<std::int32_t>(lomber::kImageBytes) || (length > 0 && !buffer)) return FALSE;
    auto reply = udpx::Exchange(m_socket, lomber::EvraReadRequest(), m_device, lomber::kEvraPort, kReplyPolls,
                                [](const platform::Datagram& d) { return lomber::EvraReadData(d.bytes).has_value(); });
    if (!reply) {
        LOG_WARN(kLog, "read %s: no reply", m_device.c_str());
        transfer::NoteFailedChunk(0, 1);
        return FALSE;
    }
    const auto data = *lomber::EvraReadData(reply->bytes);
    if (length > 0) std::copy_n(data.begin(), length, buffer);
    return TRUE;
}

// One request always carries 256 bytes: the caller's bytes, zero-filled when
// the caller holds fewer.
BOOL CUDPEvra::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    if (length > static_cast<std::int32_t>(lomber::kImageBytes) || (length > 0 && !buffer)) return FALSE;
    const wire::Bytes data(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
    auto reply = udpx::Exchange(m_socket, lomber::EvraWriteRequest(data), m_device, lomber::kEvraPort, kReplyPolls,
                                [](const platform::Datagram& d) { return lomber::IsEvraWriteReply(d.bytes); });
    if (!reply) {
        LOG_WARN(kLog, "write %s: no acknowledgement", m_device.c_str());
        transfer::NoteFailedChunk(0, 1);  // the whole image travels in one request
    }
    return reply ? TRUE : FALSE;
}
