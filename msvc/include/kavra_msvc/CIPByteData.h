// The root of the serialisable objects.
#pragma once

#include "kavra_msvc/Export.h"

class CIPByteBuffer;

class KAVRA_MSVC_API CIPByteData {
public:
    CIPByteData();
    CIPByteData(const CIPByteData& other);
    CIPByteData& operator=(const CIPByteData& other);
    virtual ~CIPByteData();
    /// Takes the object's wire form off the front of in; 1 on success.
    virtual int setData(CIPByteBuffer& in) = 0;
    /// Appends the object's wire form to out; 1 on success.
    virtual int getData(CIPByteBuffer& out) = 0;
};
