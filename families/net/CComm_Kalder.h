#pragma once
#include "CUDPVklp.h"
#include "framework/CCommBase.h"

// The Kalder socket: 256-byte chunks addressed in 16-bit words.
class CUDPLomber : public CUDPVklp {
public:
    CUDPLomber() : CUDPVklp(lomber::Dialect::Kalder) {}
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
};

// Kalder media-converter chassis on the local network ("Kalder - 8S33").
class CComm_Kalder : public CCommBase {
    DECLARE_DYNCREATE(CComm_Kalder)
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
    std::string GetModuleText() override { return "Kalder Series"; }

    CUDPLomber& Socket() { return m_socket; }

private:
    CUDPLomber m_socket;
};
