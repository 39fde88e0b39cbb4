#pragma once
#include <array>

#include "CUDPVklp.h"
#include "framework/CCommBase.h"

// The Evra socket: the whole 256-byte image in one request and one reply.
class CUDPEvra : public CUDPVklp {
public:
    CUDPEvra() : CUDPVklp(lomber::Dialect::Evra) {}
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;

private:
    // The device's whole current image.
    bool ReadImage(std::array<std::uint8_t, lomber::kImageBytes>& image);
};

// Evra traffic generators on the local network ("Pembrix - Evra").
class CComm_Evra : public CComm_VklpDevice<CUDPEvra> {
    DECLARE_DYNCREATE(CComm_Evra)
public:
    std::string GetModuleText() override { return "Pembrix - Evra( " + m_socket.DeviceAddress() + " )"; }
    std::int32_t GetReadTime() override { return 400; }
    std::int32_t GetWriteTime() override { return 1600; }
};
