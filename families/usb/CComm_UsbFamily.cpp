#include "CComm_UsbFamily.h"

#include "base/Log.h"
#include "framework/TransferNote.h"

namespace {
constexpr const char* kLog = "usbfamily";
}

CComm_UsbFamily::CComm_UsbFamily(usbfamily::Id id) : m_id(id), m_link(usbfamily::FamilyOf(id).link) {}

BOOL CComm_UsbFamily::Connect() {
    const BOOL found = m_link.FindDevices();
    if (found) m_link.SetSelected(0);
    return found;
}

std::int32_t CComm_UsbFamily::GetModuleCount() { return static_cast<std::int32_t>(m_link.DeviceCount()); }

void CComm_UsbFamily::SetModuleIndex(std::int32_t index) { m_link.SetSelected(index); }

BOOL CComm_UsbFamily::OpenModule() { return m_link.Open(); }

void CComm_UsbFamily::CloseModule() { m_link.Close(); }

void CComm_UsbFamily::Disconnect() { m_link.ClearDevices(); }

std::string CComm_UsbFamily::GetModuleText() {
    return usbfamily::FamilyOf(m_id).moduleText[m_subModel == 0 ? 0 : 1];
}

std::int32_t CComm_UsbFamily::GetReadTime() { return usbfamily::FamilyOf(m_id).readTime; }
std::int32_t CComm_UsbFamily::GetWriteTime() { return usbfamily::FamilyOf(m_id).writeTime; }

BOOL CComm_UsbFamily::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    const auto& eeprom = usbfamily::EepromOf(m_id);
    if (eeprom.kind == usbfamily::Eeprom::Word) return ReadWords(buffer, length);
    return m_link.ReadBlock(eeprom.layout, buffer, length);
}

BOOL CComm_UsbFamily::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    const auto& eeprom = usbfamily::EepromOf(m_id);
    if (eeprom.kind == usbfamily::Eeprom::Word) return WriteWords(buffer, length);
    return m_link.WriteBlock(eeprom.layout, buffer, length);
}

BOOL CComm_UsbFamily::ReadWords(std::uint8_t* buffer, std::int32_t length) {
    m_link.SetStoppable(true);
    const std::size_t n = wordproto::ChunkCount(length);
    for (std::size_t i = 0; i < n; ++i) {
        const auto chunk = wordproto::ChunkAt(length, i);
        if (!m_link.ReadWordChunk(chunk, buffer + chunk.offset)) {
            LOG_INFO(kLog, "read chunk %zu (word %u): no reply", i, chunk.wordAddress);
            transfer::NoteFailedChunk(i, n);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL CComm_UsbFamily::WriteWords(const std::uint8_t* buffer, std::int32_t length) {
    // Only whole words can be written: half a word would leave its other byte
    // to chance while the write reported success.
    if (length > 0 && length % 2 != 0) {
        LOG_INFO(kLog, "write of %d bytes refused: not a whole number of 16-bit words", length);
        return FALSE;
    }
    m_link.SetStoppable(false);
    const std::size_t n = wordproto::ChunkCount(length);
    for (std::size_t i = 0; i < n; ++i) {
        const auto chunk = wordproto::ChunkAt(length, i);
        if (!m_link.WriteWordChunk(chunk, buffer + chunk.offset)) {
            LOG_INFO(kLog, "write chunk %zu (word %u): no reply", i, chunk.wordAddress);
            transfer::NoteFailedChunk(i, n);
            return FALSE;
        }
    }
    return TRUE;
}
