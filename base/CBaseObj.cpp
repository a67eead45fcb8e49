#include "kavra/base/CBaseObj.h"

// Out of line so that the virtual table is emitted once, in the library.
CBaseObj::~CBaseObj() = default;
