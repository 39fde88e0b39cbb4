#include "CCommBase.h"

const CRuntimeClass CCommBase::classCCommBase = {"CCommBase", nullptr, &CObject::classCObject};
