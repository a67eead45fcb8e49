// A growable byte sequence: appending at the back, removal from the front.
// One thread at a time. Integers travel as 4 big-endian bytes, the order of
// the frame's length field. Allocation failures throw std::bad_alloc.
#pragma once

#include "kavra_msvc/Export.h"

class KAVRA_MSVC_API CIPByteBuffer {
public:
    CIPByteBuffer();
    CIPByteBuffer(const CIPByteBuffer& other);
    CIPByteBuffer& operator=(const CIPByteBuffer& other);
    virtual ~CIPByteBuffer();

    /// The first content byte, contiguous and writable for getLength()
    /// bytes until the next change; null while nothing was ever appended.
    unsigned char* getBuffer();
    unsigned int getLength();
    void empty();

    void appendBytes(const void* src, int n);
    void appendBytes0(int n);
    /// With src null: grows by n bytes that the caller fills through getBuffer().
    void appendString(const void* src, int n);
    void appendInt(int value);
    void appendBuffer(CIPByteBuffer* other);

    /// The removals take at most what is there and return how much they took.
    int removeBytes0(int n);
    int removeString(void* dst, int n);
    /// 0 when fewer than 4 bytes are left (they are dropped).
    int removeInt();

private:
    unsigned char* grow(unsigned int n);

    unsigned char* m_data;
    unsigned int m_begin;
    unsigned int m_end;
    unsigned int m_capacity;
};
