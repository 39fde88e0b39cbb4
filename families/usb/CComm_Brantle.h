#pragma once
#include "CComm_UsbFamily.h"

// Brantle-300 series: pipe and MPUSB devices, commands 0x27 / 0x28.
class CComm_Brantle : public CComm_UsbFamily {
    DECLARE_DYNCREATE(CComm_Brantle)
public:
    CComm_Brantle() : CComm_UsbFamily(usbfamily::Id::Brantle) {}
};

class CComm_Brantle302 : public CComm_Brantle {
    DECLARE_DYNCREATE(CComm_Brantle302)
public:
    CComm_Brantle302() { m_subModel = 0; }
};

class CComm_Brantle303 : public CComm_Brantle {
    DECLARE_DYNCREATE(CComm_Brantle303)
public:
    CComm_Brantle303() { m_subModel = 1; }
};
