#pragma once
#include "CComm_UsbFamily.h"

// Brantle-311: MPUSB devices only, the word-addressed exchange on "\MCHP_EP1".
class CComm_Brantle311 : public CComm_UsbFamily {
    DECLARE_DYNCREATE(CComm_Brantle311)
public:
    CComm_Brantle311() : CComm_UsbFamily(usbfamily::Id::Brantle311) {}
};
