#pragma once
#include "UsbLink.h"
#include "framework/CCommBase.h"

// Tesk-100/200: pipe devices and MPUSB devices with the one-byte echo protocol.
class CComm_Tesk : public CCommBase {
    DECLARE_DYNCREATE(CComm_Tesk)
public:
    CComm_Tesk();

    BOOL Connect() override;
    std::int32_t GetModuleCount() override;
    void SetModuleIndex(std::int32_t index) override;
    BOOL OpenModule() override;
    void CloseModule() override;
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    void Disconnect() override;
    std::string GetModuleText() override;

    static UsbLinkParams LinkParams();

protected:
    UsbLink m_link;
    std::int32_t m_subModel = 0;  // 0: Tesk-100, 1: Tesk-200
};

class CComm_Tesk100 : public CComm_Tesk {
    DECLARE_DYNCREATE(CComm_Tesk100)
public:
    CComm_Tesk100() { m_subModel = 0; }
};

class CComm_Tesk200 : public CComm_Tesk {
    DECLARE_DYNCREATE(CComm_Tesk200)
public:
    CComm_Tesk200() { m_subModel = 1; }
};
