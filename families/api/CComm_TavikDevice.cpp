#include "CComm_TavikDevice.h"

#include <cstring>

#include "TavikChunks.h"
#include "framework/TransferNote.h"
#include "base/Log.h"
#include "framework/Wait.h"
#include "tavikapi.h"

IMPLEMENT_DYNCREATE(CComm_Alda, CCommBase)
IMPLEMENT_DYNCREATE(CComm_Alda2, CCommBase)
IMPLEMENT_DYNCREATE(CComm_Brisa, CCommBase)
IMPLEMENT_DYNCREATE(CComm_Cygna, CCommBase)

namespace {

constexpr const char* kLog = "tavik-family";

// Data positions in the library's EEPROM record: a read delivers its data
// from byte 4, a write takes it from byte 2.
constexpr std::size_t kReadDataAt = 4;
constexpr std::size_t kWriteDataAt = 2;

std::uint16_t LinkedGetEeprom(std::uint32_t offset, std::uint32_t length, std::uint8_t* chunk64) {
    EepromChunk chunk{};
    const std::uint16_t ok = Tavik_GetEeprom(offset, length, &chunk);
    std::memcpy(chunk64, chunk.bytes, sizeof chunk.bytes);
    return ok;
}

std::uint16_t LinkedSetEeprom(std::uint32_t offset, std::uint32_t length, const std::uint8_t* chunk64) {
    EepromChunk chunk{};
    std::memcpy(chunk.bytes, chunk64, sizeof chunk.bytes);
    return Tavik_SetEeprom(offset, length, chunk);
}

}  // namespace

const TavikCalls& LinkedTavikCalls() {
    static const TavikCalls calls{
        Tavik_SetDeviceType, Tavik_DetectDevice,     Tavik_GetDeviceNumber, Tavik_SelectDevice,
        Tavik_ConnectToDevice, Tavik_TerminateProcess, LinkedGetEeprom,     LinkedSetEeprom,
    };
    return calls;
}

BOOL CComm_TavikDevice::Connect() {
    m_calls->setDeviceType(DeviceType());  // its result does not matter: the type is valid
    return m_calls->detectDevice(DeviceType()) != 0 ? TRUE : FALSE;
}

std::int32_t CComm_TavikDevice::GetModuleCount() { return m_calls->getDeviceNumber(); }

void CComm_TavikDevice::SetModuleIndex(std::int32_t index) { m_calls->selectDevice(index); }

BOOL CComm_TavikDevice::OpenModule() { return m_calls->connectToDevice() != 0 ? TRUE : FALSE; }

void CComm_TavikDevice::CloseModule() { m_calls->terminateProcess(); }

BOOL CComm_TavikDevice::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    const auto plan = tavikchunks::Plan(length);
    for (std::size_t k = 0; k < plan.size(); ++k) {
        const auto& c = plan[k];
        // Each export gives up within its own limit; a stopped search ends
        // after the one running now.
        if (StopRequested()) return FALSE;
        std::uint8_t record[64] = {};
        if (m_calls->getEeprom(c.offset, c.size, record) == 0) {
            LOG_WARN(kLog, "%s: read EEPROM chunk at %u (%u bytes): no reply", DisplayName(), c.offset, c.size);
            transfer::NoteFailedChunk(k, plan.size());
            return FALSE;
        }
        std::memcpy(buffer + c.offset, record + kReadDataAt, c.size);
    }
    return TRUE;
}

BOOL CComm_TavikDevice::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    const auto plan = tavikchunks::Plan(length);
    for (std::size_t k = 0; k < plan.size(); ++k) {
        const auto& c = plan[k];
        std::uint8_t record[64] = {};
        std::memcpy(record + kWriteDataAt, buffer + c.offset, c.size);
        if (m_calls->setEeprom(c.offset, c.size, record) == 0) {
            LOG_WARN(kLog, "%s: write EEPROM chunk at %u (%u bytes): not acknowledged", DisplayName(), c.offset,
                     c.size);
            transfer::NoteFailedChunk(k, plan.size());
            return FALSE;
        }
    }
    return TRUE;
}
