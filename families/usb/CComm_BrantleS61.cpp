#include "CComm_BrantleS61.h"

IMPLEMENT_DYNCREATE(CComm_BrantleS61, CCommBase)
