#include "CComm_Brantle.h"

IMPLEMENT_DYNCREATE(CComm_Brantle, CCommBase)
IMPLEMENT_DYNCREATE(CComm_Brantle302, CComm_Brantle)
IMPLEMENT_DYNCREATE(CComm_Brantle303, CComm_Brantle)
