#include "CComm_Brantle311.h"

IMPLEMENT_DYNCREATE(CComm_Brantle311, CCommBase)
