#pragma once
#include "framework/CObject.h"

// Class records of every family the registry names. A family that is not
// built yet has a record whose factory yields no object, so a search skips it.
namespace families {
extern const CRuntimeClass classCComm_Jessor;
extern const CRuntimeClass classCComm_Orvel;
}  // namespace families
