#pragma once
#include "CComm_UsbFamily.h"

// Quissel-500 series: pipe, HID (overlapped transfers, 2000 ms limits) and
// MPUSB devices, HID entries before MPUSB ones; commands 0x13 / 0x14.
class CComm_Quissel : public CComm_UsbFamily {
    DECLARE_DYNCREATE(CComm_Quissel)
public:
    CComm_Quissel() : CComm_UsbFamily(usbfamily::Id::Quissel) {}
};

class CComm_Quissel501 : public CComm_Quissel {
    DECLARE_DYNCREATE(CComm_Quissel501)
public:
    CComm_Quissel501() { m_subModel = 0; }
};

class CComm_Quissel551 : public CComm_Quissel {
    DECLARE_DYNCREATE(CComm_Quissel551)
public:
    CComm_Quissel551() { m_subModel = 1; }
};
