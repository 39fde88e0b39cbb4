#include "CComm_Dravik.h"

IMPLEMENT_DYNCREATE(CComm_Dravik, CCommBase)
