#pragma once
#include "framework/CObject.h"

// Class records of every family the registry names. A family that is not
// built yet has a record whose factory yields no object, so a search skips it.
namespace families {
extern const CRuntimeClass classCComm_Yaltro;
extern const CRuntimeClass classCComm_Jessor;
extern const CRuntimeClass classCComm_Harlo101;
extern const CRuntimeClass classCComm_Harlo301;
extern const CRuntimeClass classCComm_Harlo801;
extern const CRuntimeClass classCComm_Harlo802;
extern const CRuntimeClass classCComm_Orvel;
extern const CRuntimeClass classCComm_Nesbin;
}  // namespace families
