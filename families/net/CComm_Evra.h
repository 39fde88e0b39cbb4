#pragma once
#include "CUDPVklp.h"
#include "framework/CCommBase.h"

// The Evra socket: the whole 256-byte image in one request and one reply.
class CUDPEvra : public CUDPVklp {
public:
    CUDPEvra() : CUDPVklp(lomber::Dialect::Evra) {}
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
};

// Evra traffic generators on the local network ("Pembrix - Evra").
class CComm_Evra : public CCommBase {
    DECLARE_DYNCREATE(CComm_Evra)
public:
    BOOL Connect() override { return m_socket.Discover(); }
    std::int32_t GetModuleCount() override { return m_socket.Count(); }
    void SetModuleIndex(std::int32_t index) override { m_socket.SetCurrent(index); }
    BOOL OpenModule() override { return m_socket.Open(); }
    void CloseModule() override { m_socket.Close(); }
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override { return m_socket.ReadEeprom(buffer, length); }
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override {
        return m_socket.WriteEeprom(buffer, length);
    }
    void Disconnect() override { m_socket.Clear(); }
    std::string GetModuleText() override { return "Pembrix - Evra( " + m_socket.DeviceAddress() + " )"; }
    std::int32_t GetReadTime() override { return 400; }
    std::int32_t GetWriteTime() override { return 1600; }

    CUDPEvra& Socket() { return m_socket; }

private:
    CUDPEvra m_socket;
};
