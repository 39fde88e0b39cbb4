#include "CComm_Tesk300.h"

IMPLEMENT_DYNCREATE(CComm_Tesk300, CCommBase)
