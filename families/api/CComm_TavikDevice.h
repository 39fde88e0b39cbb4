#pragma once
#include <cstdint>

#include "framework/CCommBase.h"

// The calls a traffic-generator family makes into the device library. By
// default the library's own exports (linked at load time); tests put a
// recording table in their place.
struct TavikCalls {
    std::uint16_t (*setDeviceType)(std::int32_t type);
    std::uint16_t (*detectDevice)(std::int32_t type);
    std::int32_t (*getDeviceNumber)();
    std::uint16_t (*selectDevice)(std::int32_t index);
    std::uint16_t (*connectToDevice)();
    std::int32_t (*terminateProcess)();
    // offset and length in bytes; the chunk is the library's 64-byte EEPROM record
    std::uint16_t (*getEeprom)(std::uint32_t offset, std::uint32_t length, std::uint8_t* chunk64);
    std::uint16_t (*setEeprom)(std::uint32_t offset, std::uint32_t length, const std::uint8_t* chunk64);
};

const TavikCalls& LinkedTavikCalls();

// Alda, Alda+, Brisa and Cygna: every operation is one library export; the
// four differ in the device type they pass and their display name. All device
// state lives in the library, so only one of them is in use at a time.
class CComm_TavikDevice : public CCommBase {
public:
    BOOL Connect() override;
    std::int32_t GetModuleCount() override;
    void SetModuleIndex(std::int32_t index) override;
    BOOL OpenModule() override;
    void CloseModule() override;
    // Chunks of 58 bytes; a failed chunk ends the transfer with FALSE (the
    // chunks before it stay read or written).
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    std::string GetModuleText() override { return DisplayName(); }
    std::int32_t GetReadTime() override { return 200; }
    std::int32_t GetWriteTime() override { return 400; }

    void SetCalls(const TavikCalls& calls) { m_calls = &calls; }

protected:
    virtual std::int32_t DeviceType() const = 0;
    virtual const char* DisplayName() const = 0;

private:
    const TavikCalls* m_calls = &LinkedTavikCalls();
};

class CComm_Alda : public CComm_TavikDevice {
    DECLARE_DYNCREATE(CComm_Alda)
protected:
    std::int32_t DeviceType() const override { return 1; }
    const char* DisplayName() const override { return "Pembrix - Alda"; }
};

class CComm_Alda2 : public CComm_TavikDevice {
    DECLARE_DYNCREATE(CComm_Alda2)
protected:
    std::int32_t DeviceType() const override { return 4; }
    const char* DisplayName() const override { return "Pembrix - Alda+"; }
};

class CComm_Brisa : public CComm_TavikDevice {
    DECLARE_DYNCREATE(CComm_Brisa)
protected:
    std::int32_t DeviceType() const override { return 2; }
    const char* DisplayName() const override { return "Pembrix - Brisa"; }
};

class CComm_Cygna : public CComm_TavikDevice {
    DECLARE_DYNCREATE(CComm_Cygna)
protected:
    std::int32_t DeviceType() const override { return 3; }
    const char* DisplayName() const override { return "Pembrix - Cygna"; }
};
