#include "CComm_Pirrel.h"

#include <algorithm>
#include <mutex>

#include "ReplyPacing.h"
#include "base/Log.h"
#include "framework/TransferNote.h"
#include "framework/Wait.h"

IMPLEMENT_DYNCREATE(CComm_Pirrel, CCommBase)

namespace {
constexpr const char* kLog = "pirrel";
constexpr std::uint32_t kSuccess = 0;

// The library's time-outs are process-wide: one transfer at a time changes
// and restores them, so no other user ever sees ours.
std::mutex g_timeoutLock;
}  // namespace

CComm_Pirrel::CComm_Pirrel() {
    if (!m_library.Load(kLibrary)) {
        LOG_DBG(kLog, "%s not loaded: no Pirrel can be found", kLibrary);
        return;
    }
    m_getNumDevices = m_library.Entry<GetNumDevicesFn>("SI_GetNumDevices");
    m_open = m_library.Entry<OpenFn>("SI_Open");
    m_close = m_library.Entry<CloseFn>("SI_Close");
    m_read = m_library.Entry<ReadFn>("SI_Read");
    m_write = m_library.Entry<WriteFn>("SI_Write");
    m_setTimeouts = m_library.Entry<SetTimeoutsFn>("SI_SetTimeouts");
    m_getTimeouts = m_library.Entry<GetTimeoutsFn>("SI_GetTimeouts");
    if (!LibraryReady()) LOG_INFO(kLog, "%s lacks an entry: no Pirrel can be found", kLibrary);
}

CComm_Pirrel::~CComm_Pirrel() { CloseModule(); }

bool CComm_Pirrel::LibraryReady() const {
    return m_getNumDevices && m_open && m_close && m_read && m_write && m_setTimeouts && m_getTimeouts;
}

BOOL CComm_Pirrel::Connect() {
    if (!LibraryReady()) return FALSE;
    std::uint32_t count = 0;
    if (m_getNumDevices(&count) != kSuccess) return FALSE;
    if (count != 0) m_selected = 0;
    return count != 0 ? TRUE : FALSE;
}

std::int32_t CComm_Pirrel::GetModuleCount() {
    if (!LibraryReady()) return 0;
    std::uint32_t count = 0;
    if (m_getNumDevices(&count) != kSuccess) return 0;
    return static_cast<std::int32_t>(std::min<std::uint32_t>(count, 0x7fffffff));
}

void CComm_Pirrel::SetModuleIndex(std::int32_t index) { m_selected = static_cast<std::uint32_t>(index); }

BOOL CComm_Pirrel::OpenModule() {
    if (!LibraryReady()) return FALSE;
    CloseModule();
    void* handle = nullptr;
    if (m_open(m_selected, &handle) != kSuccess) return FALSE;
    m_handle = handle;
    return TRUE;
}

void CComm_Pirrel::CloseModule() {
    if (m_handle && m_close) m_close(m_handle);
    m_handle = nullptr;
}

BOOL CComm_Pirrel::SendPacket(const pirrel::Packet& packet) {
    std::lock_guard lock(g_timeoutLock);
    std::uint32_t savedRead = 0, savedWrite = 0;
    const bool saved = m_getTimeouts(&savedRead, &savedWrite) == kSuccess;
    m_setTimeouts(0, kTransferTimeoutMs);
    std::uint32_t written = 0;
    const Status status = m_write(m_handle, packet.data(), pirrel::kPacketSize, &written, nullptr);
    if (saved) m_setTimeouts(savedRead, savedWrite);
    LogFrame(kLog, "sent", packet.data(), written);
    return status == kSuccess ? TRUE : FALSE;
}

std::size_t CComm_Pirrel::ReceivePacket(pirrel::Packet& packet) {
    std::lock_guard lock(g_timeoutLock);
    std::uint32_t savedRead = 0, savedWrite = 0;
    const bool saved = m_getTimeouts(&savedRead, &savedWrite) == kSuccess;
    m_setTimeouts(kTransferTimeoutMs, 0);
    std::uint32_t got = 0;
    m_read(m_handle, packet.data(), pirrel::kPacketSize, &got, nullptr);
    if (saved) m_setTimeouts(savedRead, savedWrite);
    const std::size_t n = std::min<std::size_t>(got, pirrel::kPacketSize);
    LogFrame(kLog, "received", packet.data(), n);
    return n;
}

BOOL CComm_Pirrel::Exchange(const pirrel::Packet& request, pirrel::Packet& reply, bool stoppable) {
    // Each receive waits up to its 1000 ms read time-out for the packet; the
    // pauses only pace the attempts (ReplyPacing). A stop ends the pauses of
    // a read; a write's pauses keep their length.
    ReplyPacing pacing(kPauseMs, stoppable);
    SendPacket(request);
    pacing.AfterRequest();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (stoppable && StopRequested()) return FALSE;
        reply.fill(0);
        const std::size_t received = ReceivePacket(reply);
        // A late reply to an earlier chunk, or nothing: skipped.
        if (pirrel::IsReply(request, reply, received)) return TRUE;
        pacing.AfterRejectedAttempt();
    }
    LOG_INFO(kLog, "command 0x%02x address %u: no matching reply after %d attempts", request[0], request[1],
             kAttempts);
    return FALSE;
}

BOOL CComm_Pirrel::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    const std::size_t n = pirrel::ChunkCount(length);
    if (n == 0) return TRUE;
    if (!m_handle || !LibraryReady()) return FALSE;
    for (std::size_t i = 0; i < n; ++i) {
        const auto chunk = pirrel::ChunkAt(length, i);
        const auto request = pirrel::BuildRequest(pirrel::kRead, chunk);
        pirrel::Packet reply{};
        if (!Exchange(request, reply, true)) {
            transfer::NoteFailedChunk(i, n);
            return FALSE;
        }
        const auto data = pirrel::ReplyData(reply, chunk.length);
        std::copy(data.begin(), data.end(), buffer + chunk.offset);
    }
    return TRUE;
}

BOOL CComm_Pirrel::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    const std::size_t n = pirrel::ChunkCount(length);
    if (n == 0) return TRUE;
    if (!m_handle || !LibraryReady()) return FALSE;
    for (std::size_t i = 0; i < n; ++i) {
        const auto chunk = pirrel::ChunkAt(length, i);
        const auto request =
            pirrel::BuildRequest(pirrel::kWrite, chunk, std::span<const std::uint8_t>(buffer + chunk.offset, chunk.length));
        pirrel::Packet reply{};
        if (!Exchange(request, reply, false)) {
            transfer::NoteFailedChunk(i, n);
            return FALSE;
        }
    }
    return TRUE;
}
