#pragma once

#include "kavra/Export.h"

#include <cstddef>
#include <cstdint>

/**
 * Growable, contiguous byte sequence: append at the back, remove from the front.
 *
 * @verbatim
 *   m_data
 *   |  already removed  |      content       |   spare capacity   |
 *   +-------------------+--------------------+--------------------+
 *   0                m_read              m_write             m_capacity
 * @endverbatim
 *
 * Invariant: 0 <= m_read <= m_write <= m_capacity. The content is the bytes
 * [m_read, m_write). Removing from the front only advances m_read; the bytes
 * move back to offset 0 only when an append needs room and the content is no
 * larger than the dead space in front of it (or the buffer is empty), so a
 * reader that takes frame after frame off the front never copies the whole
 * buffer per removal. Both ends are amortised O(1).
 *
 * Counts are ints. A negative count is treated as 0. Removal never reads
 * outside the content:
 * @verbatim
 *   removeBytes0(n)   drops min(n, length) bytes and returns how many.
 *   removeString(d,n) copies min(n, length) bytes to d, fills the rest of the
 *                     n bytes at d with zeros, and returns how many it copied.
 *   removeInt()       with fewer than 4 bytes left, removes them all and
 *                     returns 0.
 * @endverbatim
 *
 * Integers are written in network byte order (big-endian).
 *
 * Not thread-safe: one thread at a time.
 */
class KAVRA_API CIPByteBuffer {
public:
    CIPByteBuffer();
    ///@{
    /// Copies other's content only (not the removed bytes nor the spare
    /// capacity).
    CIPByteBuffer(const CIPByteBuffer& other);
    CIPByteBuffer& operator=(const CIPByteBuffer& other);
    ///@}
    ///@{
    /// Takes other's allocation; other is left empty with nothing allocated.
    CIPByteBuffer(CIPByteBuffer&& other) noexcept;
    CIPByteBuffer& operator=(CIPByteBuffer&& other) noexcept;
    ///@}
    virtual ~CIPByteBuffer();

    /// First content byte; contiguous and writable for getLength() bytes until
    /// the next change. Null only while nothing was ever allocated.
    ///@{
    unsigned char* getBuffer();
    const unsigned char* getBuffer() const;
    ///@}
    /// Number of content bytes.
    unsigned int getLength() const;
    /// Drops the content; keeps the allocation for reuse.
    void empty();
    /// Makes room for at least n content bytes without further allocation.
    void reserve(int n);
    /// True when any of the n bytes at bytes lies in this buffer's storage
    /// (content, removed front or spare room), where an append may move,
    /// free or overwrite it.
    bool overlaps(const void* bytes, std::size_t n) const;

    /// Appends n bytes from src; with src null, n zero bytes.
    void appendBytes(const void* src, int n);
    /// Appends n zero bytes.
    void appendBytes0(int n);
    /// Appends n bytes from src; with src null, grows by n bytes whose value is
    /// unspecified until the caller writes them through getBuffer().
    void appendString(const void* src, int n);
    /// Appends value as 4 bytes, big-endian.
    void appendInt(int value);
    /// Appends value as 2 bytes, big-endian.
    void appendShort(short value);
    /// Appends a copy of other's content; nothing when other is null.
    void appendBuffer(const CIPByteBuffer* other);

    /// Drops min(n, length) bytes off the front and returns how many.
    int removeBytes0(int n);
    /// Copies min(n, length) bytes off the front to dst, fills the rest of
    /// the n bytes at dst with zeros, and returns how many it copied.
    int removeString(void* dst, int n);
    /// Removes 4 bytes off the front and returns them read big-endian; with
    /// fewer than 4 bytes left, removes them all and returns 0.
    int removeInt();
    /// With fewer than 2 bytes left, removes them all and returns 0.
    short removeShort();

private:
    // Returns the address where n more bytes can be written at m_write.
    unsigned char* makeRoom(std::size_t n);

    unsigned char* m_data = nullptr;
    std::size_t m_capacity = 0;
    std::size_t m_read = 0;
    std::size_t m_write = 0;
};
