#include "CComm_Harlo.h"

#include <algorithm>

#include "Harlo301API.h"
#include "HarloFrames.h"
#include "base/Log.h"
#include "framework/Wait.h"
#include "platform/PacketCapture.h"

IMPLEMENT_DYNCREATE(CComm_Harlo, CCommBase)
IMPLEMENT_DYNCREATE(CComm_Harlo101, CComm_Harlo)
IMPLEMENT_DYNCREATE(CComm_Harlo301, CComm_Harlo)
IMPLEMENT_DYNCREATE(CComm_Harlo801, CComm_Harlo)
IMPLEMENT_DYNCREATE(CComm_Harlo802, CComm_Harlo)

namespace {

constexpr const char* kLog = "harlo";
constexpr int kPauseMs = 50;
constexpr int kReadWaits = 40;   // about 2 s
constexpr int kWriteWaits = 60;  // about 3 s
constexpr std::int32_t kImageBytes = 256;  // eeprom_93c56

// Raised by the callback on the library's thread, waited for by the search
// thread. The flag's lock orders the library's filling of eeprom_93c56
// before the raise with the reading of it after the wait.
EventFlag g_complete;

}  // namespace

void CComm_Harlo::OnFrame(const unsigned char* frame, std::uint32_t length, std::uint32_t, std::uint32_t) {
    if (frame && harlo::IsCompletionFrame(std::span<const std::uint8_t>(frame, length)))
        g_complete.Raise();
}

CComm_Harlo::~CComm_Harlo() { CloseModule(); }

BOOL CComm_Harlo::Connect() {
    CloseModule();
    m_captureRefused = false;
    Harlo301_93C56_Init(&CComm_Harlo::OnFrame);
    std::int32_t present = 0;
    if (Harlo301_SYS_DetectHarlo301Device(&present) != 0) return TRUE;
    // The library only says "none"; whether it could look at all, we ask the kernel.
    m_captureRefused = platform::RawEthernetRefused();
    return FALSE;
}

std::string CComm_Harlo::SearchProblem() const {
    return m_captureRefused ? platform::kNoCaptureCapabilityText : std::string();
}

BOOL CComm_Harlo::OpenModule() {
    if (Harlo301_SYS_ConnectToHarlo301Device() == 0) return FALSE;
    if (Harlo_Machine_ID != m_machineId) {
        LOG_INFO(kLog, "the instrument is a %s, not a %s", CComm_Harlo(Harlo_Machine_ID).GetModuleText().c_str(),
                 GetModuleText().c_str());
        Harlo301_SYS_TerminateProcess();
        return FALSE;
    }
    m_connected = 1;
    return TRUE;
}

void CComm_Harlo::CloseModule() {
    if (!m_connected) return;
    Harlo301_SYS_TerminateProcess();
    m_connected = 0;
}

// The image is 256 bytes: a longer read or write is refused before any request.
BOOL CComm_Harlo::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    if ((length > 0 && !buffer) || length > kImageBytes) return FALSE;
    g_complete.Clear();
    Harlo301_93C56_Read();
    // Each of the waits ends as soon as the completion comes (paced timing).
    for (int wait = 0; wait < kReadWaits; ++wait) {
        if (PaceFor(g_complete, kPauseMs)) {
            m_readValid = 1;
            if (length > 0) std::copy_n(eeprom_93c56, length, buffer);
            return TRUE;
        }
        if (StopRequested()) break;
    }
    m_readValid = 0;
    LOG_WARN(kLog, "read: no completion");
    return FALSE;
}

// Once the request is out, the wait for its completion runs to its limit even
// when the search is stopped.
BOOL CComm_Harlo::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    if ((length > 0 && !buffer) || length > kImageBytes) return FALSE;
    g_complete.Clear();
    if (length > 0) std::copy_n(buffer, length, eeprom_93c56);
    Harlo301_93C56_Write(0, 128);
    for (int wait = 0; wait < kWriteWaits; ++wait)
        if (PaceFor(g_complete, kPauseMs, false)) return TRUE;
    LOG_WARN(kLog, "write: no completion");
    return FALSE;
}

std::string CComm_Harlo::GetModuleText() {
    switch (m_machineId) {
    case harlo::kHarlo301: return "Harlo - 301";
    case harlo::kHarlo101: return "Harlo - 101";
    case harlo::kHarlo801: return "Harlo - 801";
    case harlo::kHarlo802: return "Harlo - 802";
    default: return "Unknown";
    }
}
