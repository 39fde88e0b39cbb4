#include "CComm_Nesbin.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>

#include "base/Log.h"
#include "families/net/WireBytes.h"
#include "framework/Wait.h"

IMPLEMENT_DYNCREATE(CComm_Nesbin, CCommBase)

namespace {

constexpr const char* kLog = "nesbin";
constexpr int kDiscoverAttempts = 5;
constexpr int kTransferAttempts = 80;
constexpr int kPauseMs = 50;

const char* const kFilterWords[] = {"VMWARE", "SOFTETHER", "VIRTUAL"};

std::string MacText(const nesbin::Mac& m) {
    char t[18];
    std::snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return t;
}

}  // namespace

std::vector<NIC_INFO_T> UsableInterfaces(const std::vector<platform::CaptureInterface>& listed) {
    std::vector<NIC_INFO_T> out;
    for (const auto& ni : listed) {
        if (ni.name.empty() || ni.name == "any" || ni.loopback || !ni.ethernet) continue;
        const std::string description = ni.description.empty() ? ni.name : ni.description;
        std::string upper = description;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
        if (std::any_of(std::begin(kFilterWords), std::end(kFilterWords),
                        [&](const char* w) { return upper.find(w) != std::string::npos; }))
            continue;
        out.push_back({description, ni.name, ni.mac});
    }
    return out;
}

BOOL EtherLink::ListInterfaces() {
    m_interfaces.clear();
    m_selected = -1;
    std::vector<platform::CaptureInterface> listed;
    std::string error;
    if (!platform::ListCaptureInterfaces(listed, error)) {
        LOG_WARN(kLog, "cannot list the network interfaces: %s", error.c_str());
        return FALSE;
    }
    m_interfaces = UsableInterfaces(listed);
    return m_interfaces.empty() ? FALSE : TRUE;
}

BOOL EtherLink::OpenCapture() {
    m_permissionDenied = false;
    if (m_selected < 0 || m_selected >= static_cast<int>(m_interfaces.size())) return FALSE;
    const NIC_INFO_T& ni = m_interfaces[static_cast<std::size_t>(m_selected)];
    std::string error;
    const platform::CaptureResult r = m_capture.Open(ni.name, error);
    if (r == platform::CaptureResult::Ok) return TRUE;
    m_permissionDenied = r == platform::CaptureResult::PermissionDenied;
    LOG_DBG(kLog, "%s: cannot capture: %s", ni.name.c_str(), error.c_str());
    return FALSE;
}

BOOL EtherLink::SendFrame(std::span<const std::uint8_t> frame) {
    if (m_interfaces.empty() || m_selected < 0 || !m_capture.IsOpen()) return FALSE;
    const auto wire = nesbin::Padded(frame);
    LogFrame(kLog, "send", wire.data(), wire.size());
    return m_capture.Send(wire) ? TRUE : FALSE;
}

// After an attempt that captured nothing, paced timing waits for the next
// frame to be captured, up to the 50 ms pause; original timing sits the pause
// out. After a frame that was not the reply the next attempt comes after the
// full pause in both: traffic that keeps coming uses up the attempts at the
// old pace, and a silent segment costs every pause in full.
template <class Accept>
bool EtherLink::Poll(int attempts, bool stoppable, Accept accept) {
    std::vector<std::uint8_t> frame;
    bool held = false;  // a frame captured during the last paced wait
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int got = held ? 1 : m_capture.Next(frame);
        held = false;
        if (got > 0) {
            const auto seen = nesbin::Bounded(frame);
            LogFrame(kLog, "captured", seen.data(), seen.size());
            if (accept(seen)) return true;
        }
        if (stoppable && StopRequested()) return false;
        if (got > 0 || OriginalTiming())
            FixedWait(kPauseMs, stoppable);
        else
            held = AwaitFrame(frame, kPauseMs, stoppable);
    }
    return false;
}

bool EtherLink::AwaitFrame(std::vector<std::uint8_t>& frame, int milliseconds, bool stoppable) {
    const auto deadline = WaitClock::now() + std::chrono::milliseconds(milliseconds);
    while (WaitReadableUntil(m_capture.SelectableFd(), deadline, stoppable)) {
        const int got = m_capture.Next(frame);
        if (got > 0) return true;
        if (got < 0) break;  // a capture that fails: the rest of the pause is sat out
        // Readable but nothing for us (our own frames are not taken): wait on.
    }
    if (stoppable && StopRequested()) return false;
    FixedWait(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - WaitClock::now()).count()),
              stoppable);
    return false;
}

BOOL EtherLink::Discover() {
    if (!SendFrame(nesbin::DiscoveryRequest(m_interfaceMac))) return FALSE;
    return Poll(kDiscoverAttempts, true, [&](nesbin::Bytes f) {
               auto mac = nesbin::DiscoveredMac(f);
               if (mac) m_instrumentMac = *mac;
               return mac.has_value();
           })
               ? TRUE
               : FALSE;
}

BOOL EtherLink::ReadBlock(std::uint16_t address, std::uint16_t length, std::uint8_t* destination) {
    if (!destination || length > nesbin::kMaxBlock) return FALSE;
    if (!SendFrame(nesbin::ReadRequest(m_instrumentMac, m_interfaceMac, address, length))) return FALSE;
    return Poll(kTransferAttempts, true, [&](nesbin::Bytes f) {
               // Taken only when every byte asked for arrived.
               auto data = nesbin::ReadData(f, length);
               if (data) std::copy(data->begin(), data->end(), destination);
               return data.has_value();
           })
               ? TRUE
               : FALSE;
}

// Once sent, a write waits for its acknowledgement even when the search is stopped.
BOOL EtherLink::WriteBlock(std::uint16_t address, std::uint16_t length, const std::uint8_t* source) {
    if (!source || length > nesbin::kMaxBlock) return FALSE;
    auto request = nesbin::WriteRequest(m_instrumentMac, m_interfaceMac, address, nesbin::Bytes(source, length));
    if (!request || !SendFrame(*request)) return FALSE;
    return Poll(kTransferAttempts, false, [](nesbin::Bytes f) {
               return nesbin::IsReply(f, nesbin::kEepromGroup, nesbin::kWriteCommand);
           })
               ? TRUE
               : FALSE;
}

BOOL EtherLink::FindInstrument() {
    m_capture.Close();
    m_captureRefused = false;
    if (!ListInterfaces()) {
        LOG_INFO(kLog, "no usable network interface");
        return FALSE;
    }
    bool opened = false, refused = false;
    for (std::size_t i = 0; i < m_interfaces.size(); ++i) {
        if (StopRequested()) break;
        m_selected = static_cast<int>(i);
        m_interfaceMac = m_interfaces[i].mac;
        m_capture.Close();
        if (!OpenCapture()) {
            refused = refused || m_permissionDenied;
            continue;
        }
        opened = true;
        LOG_INFO(kLog, "discovery on %s (%s)", m_interfaces[i].name.c_str(), MacText(m_interfaceMac).c_str());
        if (Discover()) {
            LOG_INFO(kLog, "instrument %s on %s", MacText(m_instrumentMac).c_str(), m_interfaces[i].name.c_str());
            return TRUE;
        }
    }
    m_capture.Close();
    m_captureRefused = !opened && refused;
    // Said once per run of the program in the diagnostic log; the search says
    // it every time (SearchProblem).
    static std::atomic<bool> said{false};
    if (m_captureRefused && !said.exchange(true)) LOG_ERR(kLog, "%s", platform::kNoCaptureCapabilityText);
    return FALSE;
}

std::string CComm_Nesbin::SearchProblem() const {
    return m_link.CaptureRefused() ? platform::kNoCaptureCapabilityText : std::string();
}

BOOL CComm_Nesbin::Connect() {
    if (!m_link.FindInstrument()) return FALSE;
    m_link.CloseCapture();
    return TRUE;
}

BOOL CComm_Nesbin::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    const std::size_t chunks = wire::ChunkCount(length, nesbin::kMaxBlock);
    if (chunks && !buffer) return FALSE;
    // A failed read leaves the caller's buffer as it was.
    std::vector<std::uint8_t> data(chunks ? static_cast<std::size_t>(length) : 0);
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t offset = k * nesbin::kMaxBlock;
        if (offset > 0xFFFF) return FALSE;
        const auto n = static_cast<std::uint16_t>(wire::ChunkLength(length, nesbin::kMaxBlock, k));
        if (!m_link.ReadBlock(static_cast<std::uint16_t>(offset), n, data.data() + offset)) {
            LOG_WARN(kLog, "read EEPROM chunk %zu: no reply", k);
            return FALSE;
        }
    }
    std::copy(data.begin(), data.end(), buffer);
    return TRUE;
}

BOOL CComm_Nesbin::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    const std::size_t chunks = wire::ChunkCount(length, nesbin::kMaxBlock);
    if (chunks && !buffer) return FALSE;
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t offset = k * nesbin::kMaxBlock;
        if (offset > 0xFFFF) return FALSE;
        const auto n = static_cast<std::uint16_t>(wire::ChunkLength(length, nesbin::kMaxBlock, k));
        if (!m_link.WriteBlock(static_cast<std::uint16_t>(offset), n, buffer + offset)) {
            LOG_WARN(kLog, "write EEPROM chunk %zu: no acknowledgement", k);
            return FALSE;
        }
    }
    return TRUE;
}
