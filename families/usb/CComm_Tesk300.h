#pragma once
#include "CComm_UsbFamily.h"

// Tesk-300: pipe, HID (two handles, 65-byte reports) and MPUSB devices; the
// echo protocol with a 16-bit big-endian byte address.
class CComm_Tesk300 : public CComm_UsbFamily {
    DECLARE_DYNCREATE(CComm_Tesk300)
public:
    CComm_Tesk300() : CComm_UsbFamily(usbfamily::Id::Tesk300) {}
};
