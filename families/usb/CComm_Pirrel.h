#pragma once
#include <cstdint>

#include "PirrelProtocol.h"
#include "framework/CCommBase.h"
#include "platform/DynLib.h"

// Pirrel-4U over the USBXpress library: the library counts and opens the
// devices; the EEPROM moves in 128-byte echo packets. Without the library (or
// any of its seven entries) the family finds nothing.
class CComm_Pirrel : public CCommBase {
    DECLARE_DYNCREATE(CComm_Pirrel)
public:
    CComm_Pirrel();
    ~CComm_Pirrel() override;

    BOOL Connect() override;
    std::int32_t GetModuleCount() override;
    void SetModuleIndex(std::int32_t index) override;
    BOOL OpenModule() override;
    void CloseModule() override;
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    std::string GetModuleText() override { return "Pirrel - 4U"; }

    static constexpr const char* kLibrary = "libSiUSBXp.so";
    static constexpr int kAttempts = 100;
    static constexpr int kPauseMs = 50;
    static constexpr std::uint32_t kTransferTimeoutMs = 1000;

    std::uint32_t SelectedIndex() const { return m_selected; }
    bool LibraryReady() const;

private:
    BOOL SendPacket(const pirrel::Packet& packet);
    std::size_t ReceivePacket(pirrel::Packet& packet);
    BOOL Exchange(const pirrel::Packet& request, pirrel::Packet& reply, bool stoppable);

    using Status = std::uint32_t;
    using GetNumDevicesFn = Status (*)(std::uint32_t*);
    using OpenFn = Status (*)(std::uint32_t, void**);
    using CloseFn = Status (*)(void*);
    using ReadFn = Status (*)(void*, void*, std::uint32_t, std::uint32_t*, void*);
    using WriteFn = Status (*)(void*, const void*, std::uint32_t, std::uint32_t*, void*);
    using SetTimeoutsFn = Status (*)(std::uint32_t, std::uint32_t);
    using GetTimeoutsFn = Status (*)(std::uint32_t*, std::uint32_t*);

    std::uint32_t m_selected = 0;
    void* m_handle = nullptr;
    platform::DynLib m_library;
    GetNumDevicesFn m_getNumDevices = nullptr;
    OpenFn m_open = nullptr;
    CloseFn m_close = nullptr;
    ReadFn m_read = nullptr;
    WriteFn m_write = nullptr;
    SetTimeoutsFn m_setTimeouts = nullptr;
    GetTimeoutsFn m_getTimeouts = nullptr;
};
