#pragma once
#include "framework/CObject.h"

// Class records of every family the registry names. A family that is not
// built yet has a record whose factory yields no object, so a search skips it.
namespace families {
extern const CRuntimeClass classCComm_Yaltro;
extern const CRuntimeClass classCComm_Olvenna;
extern const CRuntimeClass classCComm_Pirrel;
extern const CRuntimeClass classCComm_Tesk300;
extern const CRuntimeClass classCComm_Harlo101;
extern const CRuntimeClass classCComm_Harlo301;
extern const CRuntimeClass classCComm_Harlo801;
extern const CRuntimeClass classCComm_Harlo802;
extern const CRuntimeClass classCComm_Quissel501;
extern const CRuntimeClass classCComm_Quissel551;
extern const CRuntimeClass classCComm_Dravik;
extern const CRuntimeClass classCComm_Brantle302;
extern const CRuntimeClass classCComm_Brantle303;
extern const CRuntimeClass classCComm_Brantle311;
extern const CRuntimeClass classCComm_BrantleS61;
extern const CRuntimeClass classCComm_Dorla;
extern const CRuntimeClass classCComm_Nesbin;
}  // namespace families
