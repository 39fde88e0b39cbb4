#pragma once
#include "CComm_UsbFamily.h"

// Brantle-S61: as the Brantle-311, found under its own IDs and product string.
class CComm_BrantleS61 : public CComm_UsbFamily {
    DECLARE_DYNCREATE(CComm_BrantleS61)
public:
    CComm_BrantleS61() : CComm_UsbFamily(usbfamily::Id::BrantleS61) {}
};
