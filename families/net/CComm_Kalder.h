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
class CComm_Kalder : public CComm_VklpDevice<CUDPLomber> {
    DECLARE_DYNCREATE(CComm_Kalder)
public:
    std::string GetModuleText() override { return "Kalder Series"; }
};
