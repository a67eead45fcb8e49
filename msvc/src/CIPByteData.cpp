#include "kavra_msvc/CIPByteData.h"

CIPByteData::CIPByteData() = default;
CIPByteData::CIPByteData(const CIPByteData&) = default;
CIPByteData& CIPByteData::operator=(const CIPByteData&) = default;
CIPByteData::~CIPByteData() = default;
