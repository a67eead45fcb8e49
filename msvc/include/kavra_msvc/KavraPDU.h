// One PDU: a KavraHeader and a body it owns (setBody, setData) or borrows
// (setBuffer). No locking: one thread at a time.
#pragma once

#include "kavra_msvc/CPDU.h"
#include "kavra_msvc/DATABUFFER.h"
#include "kavra_msvc/Export.h"

class KAVRA_MSVC_API KavraPDU : public CPDU {
public:
    KavraPDU();
    /// A copy owns a copy of the body (also of a borrowed one) and of the header.
    KavraPDU(const KavraPDU& other);
    KavraPDU& operator=(const KavraPDU& other);
    /// Releases an owned body; the CPDU part deletes the header.
    ~KavraPDU() override;

    /// Takes all of in as the body; 1.
    int setData(CIPByteBuffer& in) override;
    /// Appends one frame: the header with the body's length, then the body; 1.
    int getData(CIPByteBuffer& out) override;
    void checkHeader() override;
    /// Moves all bytes of in into a new owned body; 1.
    int setBody(CIPByteBuffer& in) override;
    /// Appends a copy of the body; 1.
    int getBody(CIPByteBuffer& out) override;
    int isRequest() override;
    int canResponse() override;
    int isResponse() override;

    /// Borrows the caller's bytes; the caller keeps them alive and frees them.
    void setBuffer(DATABUFFER& buffer);
    void* getBufAddr();
    unsigned int getBufSize();

private:
    void ReleaseBuffer();
    void copyFrom(const KavraPDU& other);

    void* m_bufAddr;
    unsigned int m_bufSize;
    int m_borrowed;
};
