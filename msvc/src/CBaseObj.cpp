#include "kavra_msvc/CBaseObj.h"

CBaseObj::CBaseObj() = default;
CBaseObj::~CBaseObj() = default;
