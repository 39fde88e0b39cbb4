#pragma once
#include "CComm_UsbFamily.h"

// Olvenna: pipe and MPUSB devices with the one-byte echo protocol. Its
// first 32 EEPROM bytes belong to the instrument: a write never touches them.
class CComm_Olvenna : public CComm_UsbFamily {
    DECLARE_DYNCREATE(CComm_Olvenna)
public:
    CComm_Olvenna() : CComm_UsbFamily(usbfamily::Id::Olvenna) {}

    // Writes bytes 32 up to the end of the buffer (at most byte 255).
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    std::vector<ByteRange> WritableRanges() const override { return {{kFirstWritable, kImageEnd}}; }

    static constexpr std::int32_t kFirstWritable = 32;
    static constexpr std::int32_t kImageEnd = 256;
};
