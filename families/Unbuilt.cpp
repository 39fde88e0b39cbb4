// Families whose transport is not available in this build yet. Their registry
// rows keep their places; the factories make no object, so searches skip them.
#include "families/FamilyClasses.h"
#include "framework/CCommBase.h"

#define UNBUILT_FAMILY(cls) \
    const CRuntimeClass class##cls = {#cls, nullptr, &CCommBase::classCCommBase};

namespace families {
UNBUILT_FAMILY(CComm_Jessor)
UNBUILT_FAMILY(CComm_Orvel)
}  // namespace families
