#include "CComm_Quissel.h"

IMPLEMENT_DYNCREATE(CComm_Quissel, CCommBase)
IMPLEMENT_DYNCREATE(CComm_Quissel501, CComm_Quissel)
IMPLEMENT_DYNCREATE(CComm_Quissel551, CComm_Quissel)
