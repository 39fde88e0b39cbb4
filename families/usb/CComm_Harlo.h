#pragma once
#include "framework/CCommBase.h"

// Harlo instruments through the maker's Harlo301API library, which finds and
// connects to one instrument and moves the whole EEPROM image through its
// exported buffer; completion comes as a frame to our callback, from a thread
// of the library. Each model class names its machine ID.
class CComm_Harlo : public CCommBase {
    DECLARE_DYNCREATE(CComm_Harlo)
public:
    CComm_Harlo() = default;
    ~CComm_Harlo() override;

    BOOL Connect() override;
    std::int32_t GetModuleCount() override { return 1; }
    void SetModuleIndex(std::int32_t) override {}
    BOOL OpenModule() override;
    void CloseModule() override;
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    std::string GetModuleText() override;
    std::int32_t GetReadTime() override { return 1000; }
    std::int32_t GetWriteTime() override { return 2400; }
    std::string SearchProblem() const override;

    // The library's frame callback: sets the completion flag on a completion frame.
    static void OnFrame(const unsigned char* frame, std::uint32_t length, std::uint32_t, std::uint32_t);

protected:
    explicit CComm_Harlo(std::int32_t machineId) : m_machineId(machineId) {}

private:
    std::int32_t m_connected = 0;
    std::int32_t m_machineId = 0;
    std::int32_t m_readValid = 0;
    bool m_captureRefused = false;  // the last Connect found nothing because raw Ethernet is refused
};

class CComm_Harlo101 : public CComm_Harlo {
    DECLARE_DYNCREATE(CComm_Harlo101)
public:
    CComm_Harlo101() : CComm_Harlo(2) {}
};

class CComm_Harlo301 : public CComm_Harlo {
    DECLARE_DYNCREATE(CComm_Harlo301)
public:
    CComm_Harlo301() : CComm_Harlo(1) {}
};

class CComm_Harlo801 : public CComm_Harlo {
    DECLARE_DYNCREATE(CComm_Harlo801)
public:
    CComm_Harlo801() : CComm_Harlo(3) {}
};

class CComm_Harlo802 : public CComm_Harlo {
    DECLARE_DYNCREATE(CComm_Harlo802)
public:
    CComm_Harlo802() : CComm_Harlo(4) {}
};
