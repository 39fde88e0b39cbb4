#pragma once
#include "CComm_UsbFamily.h"

// Dravik-100: HID devices (overlapped transfers, 2000 ms limits) and MPUSB
// devices; the Quissel echo commands; no pipe search.
class CComm_Dravik : public CComm_UsbFamily {
    DECLARE_DYNCREATE(CComm_Dravik)
public:
    CComm_Dravik() : CComm_UsbFamily(usbfamily::Id::Dravik) {}
};
