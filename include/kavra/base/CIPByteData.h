#pragma once

#include "kavra/Export.h"

class CIPByteBuffer;

/// Root of every object that has a wire form kept in a CIPByteBuffer.
class KAVRA_API CIPByteData {
public:
    CIPByteData() = default;
    ///@{
    /// Copies nothing: the class has no state of its own.
    CIPByteData(const CIPByteData&) = default;
    CIPByteData& operator=(const CIPByteData&) = default;
    ///@}
    virtual ~CIPByteData();

    /// Takes the object's wire form off the front of in; 1 on success.
    virtual int setData(CIPByteBuffer& in) = 0;
    /// Appends the object's wire form to out; 1 on success.
    virtual int getData(CIPByteBuffer& out) = 0;
};
