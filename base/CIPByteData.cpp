#include "kavra/base/CIPByteData.h"

// Out of line so that the virtual table is emitted once, in the library.
CIPByteData::~CIPByteData() = default;
