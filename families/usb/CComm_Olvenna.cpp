#include "CComm_Olvenna.h"

#include <algorithm>

#include "base/Log.h"
#include "framework/TransferNote.h"

IMPLEMENT_DYNCREATE(CComm_Olvenna, CCommBase)

BOOL CComm_Olvenna::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    // Nothing to write below byte 32: no traffic, and no chunk made from a
    // negative remainder.
    if (length <= kFirstWritable) return TRUE;
    // The address field is one byte: past byte 255 it would wrap into the
    // bytes the instrument keeps, so a longer buffer is written up to 255.
    const std::int32_t end = std::min(length, kImageEnd);
    const echo::Layout& layout = usbfamily::EepromOf(m_id).layout;
    m_link.SetStoppable(false);
    const std::size_t span = static_cast<std::size_t>(end - kFirstWritable);
    const std::size_t count = span / layout.chunkSize + (span % layout.chunkSize ? 1 : 0);
    std::size_t i = 0;
    for (std::int32_t at = kFirstWritable; at < end; at += static_cast<std::int32_t>(layout.chunkSize), ++i) {
        const auto n = std::min<std::size_t>(layout.chunkSize, static_cast<std::size_t>(end - at));
        const echo::Chunk chunk{static_cast<std::uint32_t>(at), static_cast<std::size_t>(at), n};
        if (!m_link.WriteChunk(layout, chunk, buffer + at)) {
            LOG_INFO("olvenna", "write chunk at %d: no reply", at);
            transfer::NoteFailedChunk(i, count);
            return FALSE;
        }
    }
    return TRUE;
}
