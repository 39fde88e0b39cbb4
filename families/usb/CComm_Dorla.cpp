#include "CComm_Dorla.h"

IMPLEMENT_DYNCREATE(CComm_Dorla, CCommBase)
