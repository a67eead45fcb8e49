// The root of the synchronisation objects.
#pragma once

#include "kavra_msvc/Export.h"

class KAVRA_MSVC_API CBaseObj {
public:
    CBaseObj();
    virtual ~CBaseObj();
};
