#include "kavra_msvc/CIPByteBuffer.h"

#include "../runtime/Crt.h"
#include "../runtime/MsvcStd.h"

CIPByteBuffer::CIPByteBuffer() : m_data(nullptr), m_begin(0), m_end(0), m_capacity(0) {}

CIPByteBuffer::CIPByteBuffer(const CIPByteBuffer& other) : CIPByteBuffer() {
    appendBuffer(const_cast<CIPByteBuffer*>(&other));
}

CIPByteBuffer& CIPByteBuffer::operator=(const CIPByteBuffer& other) {
    if (this != &other) {
        empty();
        appendBuffer(const_cast<CIPByteBuffer*>(&other));
    }
    return *this;
}

CIPByteBuffer::~CIPByteBuffer() {
    free(m_data);
}

unsigned char* CIPByteBuffer::getBuffer() {
    return m_data != nullptr ? m_data + m_begin : nullptr;
}

unsigned int CIPByteBuffer::getLength() {
    return m_end - m_begin;
}

void CIPByteBuffer::empty() {
    m_begin = 0;
    m_end = 0;
}

// Room for n more bytes at the back; the content moves to the front first,
// so a buffer used as a queue does not creep.
unsigned char* CIPByteBuffer::grow(unsigned int n) {
    const unsigned int length = m_end - m_begin;
    if (m_begin > 0) {
        memmove(m_data, m_data + m_begin, length);
        m_begin = 0;
        m_end = length;
    }
    if (length + n > m_capacity) {
        unsigned int capacity = m_capacity < 64 ? 64 : m_capacity;
        while (capacity < length + n) {
            capacity *= 2;
        }
        auto* bigger = static_cast<unsigned char*>(malloc(capacity));
        if (bigger == nullptr) {
            throw std::bad_alloc();
        }
        if (length > 0) {
            memcpy(bigger, m_data, length);
        }
        free(m_data);
        m_data = bigger;
        m_capacity = capacity;
    }
    m_end += n;
    return m_data + length;
}

void CIPByteBuffer::appendBytes(const void* src, int n) {
    if (n > 0) {
        memcpy(grow(static_cast<unsigned int>(n)), src, static_cast<size_t>(n));
    }
}

void CIPByteBuffer::appendBytes0(int n) {
    if (n > 0) {
        memset(grow(static_cast<unsigned int>(n)), 0, static_cast<size_t>(n));
    }
}

void CIPByteBuffer::appendString(const void* src, int n) {
    if (src != nullptr) {
        appendBytes(src, n);
    } else {
        appendBytes0(n);
    }
}

void CIPByteBuffer::appendInt(int value) {
    const auto v = static_cast<unsigned int>(value);
    const unsigned char bytes[4] = {static_cast<unsigned char>(v >> 24),
                                    static_cast<unsigned char>(v >> 16),
                                    static_cast<unsigned char>(v >> 8),
                                    static_cast<unsigned char>(v)};
    appendBytes(bytes, 4);
}

void CIPByteBuffer::appendBuffer(CIPByteBuffer* other) {
    if (other != nullptr && other != this) {
        appendBytes(other->getBuffer(), static_cast<int>(other->getLength()));
    }
}

int CIPByteBuffer::removeBytes0(int n) {
    const unsigned int take =
        n <= 0 ? 0 : (static_cast<unsigned int>(n) < getLength() ? n : getLength());
    m_begin += take;
    return static_cast<int>(take);
}

int CIPByteBuffer::removeString(void* dst, int n) {
    const unsigned int take =
        n <= 0 ? 0 : (static_cast<unsigned int>(n) < getLength() ? n : getLength());
    if (take > 0) {
        memcpy(dst, m_data + m_begin, take);
    }
    m_begin += take;
    return static_cast<int>(take);
}

int CIPByteBuffer::removeInt() {
    if (getLength() < 4) {
        empty();
        return 0;
    }
    const unsigned char* b = m_data + m_begin;
    const unsigned int v = (static_cast<unsigned int>(b[0]) << 24) |
                           (static_cast<unsigned int>(b[1]) << 16) |
                           (static_cast<unsigned int>(b[2]) << 8) | b[3];
    m_begin += 4;
    return static_cast<int>(v);
}
