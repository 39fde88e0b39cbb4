#pragma once
#include "CComm_UsbFamily.h"

// Pembrix-Dorla: pipe and MPUSB devices; the echo protocol addressed by
// chunk number rather than byte address.
class CComm_Dorla : public CComm_UsbFamily {
    DECLARE_DYNCREATE(CComm_Dorla)
public:
    CComm_Dorla() : CComm_UsbFamily(usbfamily::Id::Dorla) {}
};
