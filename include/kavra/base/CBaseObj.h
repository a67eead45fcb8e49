#pragma once

#include "kavra/Export.h"

/// Root of the base layer's synchronisation objects.
class KAVRA_API CBaseObj {
public:
    CBaseObj() = default;
    ///@{
    /// Copies nothing: the class has no state of its own.
    CBaseObj(const CBaseObj&) = default;
    CBaseObj& operator=(const CBaseObj&) = default;
    ///@}
    virtual ~CBaseObj();
};
