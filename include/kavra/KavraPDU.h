// One protocol data unit: a KavraHeader and an opaque body.
//
// The body is either owned (setBody, setData: the PDU copies the bytes and
// releases them) or borrowed (setBuffer: the caller keeps the bytes alive and
// releases them). getData writes exactly one frame. Copies are deep: a copy
// owns its own header object and its own copy of the body, so no two objects
// ever release the same memory.
//
// Not thread-safe: one thread at a time.
#pragma once

#include "kavra/DATABUFFER.h"
#include "kavra/Export.h"
#include "kavra/base/CPDU.h"

#include <cstdint>

class KAVRA_API KavraPDU : public CPDU {
public:
    KavraPDU();
    KavraPDU(const KavraPDU& other);
    KavraPDU& operator=(const KavraPDU& other);
    ~KavraPDU() override;

    // Takes all of in as the body (owned); in is left empty. Sets the
    // validity flags to VALID_HEADER, then to VALID_ALL when the body was
    // taken. Returns what setBody returns.
    int setData(CIPByteBuffer& in) override;
    // Appends one frame to out: header with the body length, then the body.
    int getData(CIPByteBuffer& out) override;
    // Creates the header object on first need.
    void checkHeader() override;
    // Releases an owned body and takes a copy of all bytes of in, which is
    // left empty. An empty in still gives a non-null body of 0 bytes.
    int setBody(CIPByteBuffer& in) override;
    // Appends a copy of the body to out.
    int getBody(CIPByteBuffer& out) override;
    int isRequest() override;
    int canResponse() override;
    int isResponse() override;

    // Borrows buffer.data as the body; an owned body is released first.
    void setBuffer(DATABUFFER& buffer);
    void* getBufAddr();
    unsigned int getBufSize();

private:
    void ReleaseBuffer();
    void copyFrom(const KavraPDU& other);

    void* m_bufAddr = nullptr;
    std::uint32_t m_bufSize = 0;
    std::int32_t m_borrowed = 0;
};
