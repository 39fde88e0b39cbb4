// Families whose transport is not available in this build yet. Their registry
// rows keep their places; the factories make no object, so searches skip them.
#include "families/FamilyClasses.h"
#include "framework/CCommBase.h"

#define UNBUILT_FAMILY(cls) \
    const CRuntimeClass class##cls = {#cls, nullptr, &CCommBase::classCCommBase};

namespace families {
UNBUILT_FAMILY(CComm_Yaltro)
UNBUILT_FAMILY(CComm_Olvenna)
UNBUILT_FAMILY(CComm_Pirrel)
UNBUILT_FAMILY(CComm_Tesk300)
UNBUILT_FAMILY(CComm_Harlo101)
UNBUILT_FAMILY(CComm_Harlo301)
UNBUILT_FAMILY(CComm_Harlo801)
UNBUILT_FAMILY(CComm_Harlo802)
UNBUILT_FAMILY(CComm_Quissel501)
UNBUILT_FAMILY(CComm_Quissel551)
UNBUILT_FAMILY(CComm_Dravik)
UNBUILT_FAMILY(CComm_Brantle302)
UNBUILT_FAMILY(CComm_Brantle303)
UNBUILT_FAMILY(CComm_Brantle311)
UNBUILT_FAMILY(CComm_BrantleS61)
UNBUILT_FAMILY(CComm_Dorla)
UNBUILT_FAMILY(CComm_Nesbin)
}  // namespace families
