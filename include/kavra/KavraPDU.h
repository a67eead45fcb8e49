#pragma once

#include "kavra/DATABUFFER.h"
#include "kavra/Export.h"
#include "kavra/base/CPDU.h"

#include <cstddef>
#include <cstdint>

namespace kavra {
class WholeFrame;
} // namespace kavra

/// One protocol data unit: a KavraHeader and an opaque body.
///
/// The body is either owned (setBody, setData: the PDU copies the bytes and
/// releases them) or borrowed (setBuffer: the caller keeps the bytes alive and
/// releases them). getData writes exactly one frame. Copies are deep: a copy
/// owns its own header object and its own copy of the body, so no two objects
/// ever release the same memory.
///
/// Objects made with new come from a pool shared by all threads, so that a
/// received PDU costs the reading thread no allocation for the object and
/// the consuming thread that destroys it no free into another thread's heap.
///
/// Not thread-safe: one thread at a time. A PDU may be destroyed on another
/// thread than the one that made it.
class KAVRA_API KavraPDU : public CPDU {
public:
    ///@{
    /// Objects from the shared pool (a derived class larger than this one
    /// gets its memory from the global allocator); placement stays possible.
    static void* operator new(std::size_t size);
    static void operator delete(void* pdu, std::size_t size) noexcept;
    static void* operator new(std::size_t size, void* where) noexcept;
    static void operator delete(void* pdu, void* where) noexcept;
    ///@}

    /// An empty PDU: no header object yet, no body.
    KavraPDU();
    ///@{
    /// Deep copy: a header object and a body of its own (a borrowed body is
    /// copied too, and the copy owns it). Assignment leaves this object as
    /// it was when the copy fails.
    KavraPDU(const KavraPDU& other);
    KavraPDU& operator=(const KavraPDU& other);
    ///@}
    ~KavraPDU() override;

    /// Takes all of in as the body (owned); in is left empty. Sets the
    /// validity flags to VALID_HEADER, then to VALID_ALL when the body was
    /// taken. Returns what setBody returns.
    int setData(CIPByteBuffer& in) override;
    /// Appends one frame to out: header with the body length, then the body.
    int getData(CIPByteBuffer& out) override;
    /// Creates the header object on first need.
    void checkHeader() override;
    /// Releases an owned body and takes a copy of all bytes of in, which is
    /// left empty. An empty in still gives a non-null body of 0 bytes.
    int setBody(CIPByteBuffer& in) override;
    /// Appends a copy of the body to out.
    int getBody(CIPByteBuffer& out) override;
    /// Returns 1.
    int isRequest() override;
    /// Returns 1.
    int canResponse() override;
    /// Returns 0.
    int isResponse() override;

    /// Borrows buffer.data as the body; an owned body is released first.
    void setBuffer(DATABUFFER& buffer);
    /// The body's first byte, owned or borrowed; null when there is none.
    void* getBufAddr();
    /// The body's size in bytes.
    unsigned int getBufSize();

private:
    // Gives a received PDU its body straight from the read-ahead.
    friend class kavra::WholeFrame;

    void ReleaseBuffer();
    void copyFrom(const KavraPDU& other);

    void* m_bufAddr = nullptr;
    std::uint32_t m_bufSize = 0;
    std::int32_t m_borrowed = 0;
};
