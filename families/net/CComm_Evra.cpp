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
    std::array<std::uint8_t, lomber::kImageBytes> image{};
    if (!ReadImage(image)) {
        transfer::NoteFailedChunk(0, 1);
        return FALSE;
    }
    if (length > 0) std::copy_n(image.begin(), length, buffer);
    return TRUE;
}

bool CUDPEvra::ReadImage(std::array<std::uint8_t, lomber::kImageBytes>& image) {
    auto reply = udpx::Exchange(m_socket, lomber::EvraReadRequest(), m_device, lomber::kEvraPort, kReplyPolls,
                                [&](const platform::Datagram& d) {
                                    return d.sender == m_device && lomber::EvraReadData(d.bytes).has_value();
                                });
    if (!reply) {
        LOG_WARN(kLog, "read %s: no reply", m_device.c_str());
        return false;
    }
    const auto data = *lomber::EvraReadData(reply->bytes);
    std::copy_n(data.begin(), image.size(), image.begin());
    return true;
}

// One request always carries the whole image. A caller holding fewer than
// 256 bytes gets the rest from the device's current image, so that nothing
// it did not ask to change is overwritten.
BOOL CUDPEvra::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    if (length < 0 || length > static_cast<std::int32_t>(lomber::kImageBytes) || (length > 0 && !buffer)) return FALSE;
    std::array<std::uint8_t, lomber::kImageBytes> image{};
    if (length < static_cast<std::int32_t>(lomber::kImageBytes) && !ReadImage(image)) {
        LOG_WARN(kLog, "write %s: current image not read; nothing written", m_device.c_str());
        return FALSE;
    }
    if (length > 0) std::copy_n(buffer, length, image.begin());
    auto reply = udpx::Exchange(m_socket, lomber::EvraWriteRequest(image), m_device, lomber::kEvraPort, kReplyPolls,
                                [&](const platform::Datagram& d) {
                                    return d.sender == m_device && lomber::IsEvraWriteReply(d.bytes);
                                },
                                false);  // a write's polls are never cut
    if (!reply) {
        LOG_WARN(kLog, "write %s: no acknowledgement", m_device.c_str());
        transfer::NoteFailedChunk(0, 1);  // the whole image travels in one request
    }
    return reply ? TRUE : FALSE;
}
