// Root of the base layer's synchronisation objects.
#pragma once

#include "kavra/Export.h"

class KAVRA_API CBaseObj {
public:
    CBaseObj() = default;
    CBaseObj(const CBaseObj&) = default;
    CBaseObj& operator=(const CBaseObj&) = default;
    virtual ~CBaseObj();
};
