#pragma once
#include "UsbFamilyTable.h"
#include "UsbLink.h"
#include "framework/CCommBase.h"

// The shared body of the USB link families of the family table: Connect
// rebuilds the device list, the module index selects an entry, OpenModule and
// CloseModule open and close it, and the EEPROM moves in chunks with the
// family's exchange. A family class only names its row and what differs.
class CComm_UsbFamily : public CCommBase {
public:
    BOOL Connect() override;
    std::int32_t GetModuleCount() override;
    void SetModuleIndex(std::int32_t index) override;
    BOOL OpenModule() override;
    void CloseModule() override;
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    void Disconnect() override;
    std::string GetModuleText() override;
    std::int32_t GetReadTime() override;
    std::int32_t GetWriteTime() override;

    const UsbLink& Link() const { return m_link; }

protected:
    explicit CComm_UsbFamily(usbfamily::Id id);
    BOOL ReadWords(std::uint8_t* buffer, std::int32_t length);
    BOOL WriteWords(const std::uint8_t* buffer, std::int32_t length);

    usbfamily::Id m_id;
    UsbLink m_link;
    std::int32_t m_subModel = 0;  // which model of a two-model family
};
