// The 14-byte frame header (ten 0xFF, a big-endian body length) and the scan
// that finds a sync mark again after garbage. No locking: one thread at a time.
#pragma once

#include "kavra_msvc/CPDUHeader.h"
#include "kavra_msvc/Export.h"

class KAVRA_MSVC_API KavraHeader : public CPDUHeader {
public:
    static const int SYNC_MARK_LENGTH = 10;
    static const int HEADER_LENGTH = 14;

    KavraHeader();
    KavraHeader(const KavraHeader& other);
    KavraHeader& operator=(const KavraHeader& other);
    ~KavraHeader() override;

    /// Drops 10 bytes from the front of in, then takes the body length; 1.
    int setData(CIPByteBuffer& in) override;
    /// Appends the sync mark and getCommandLength(); 1.
    int getData(CIPByteBuffer& out) override;

    /// Drops the bytes in front of the first possible sync-mark start and
    /// appends as many zero bytes, so the length stays; returns how many.
    unsigned int ValidateBuffer(CIPByteBuffer& buf);

private:
    unsigned char m_sync[SYNC_MARK_LENGTH];
};
