#include "kavra_msvc/KavraHeader.h"

#include "kavra_msvc/CIPByteBuffer.h"

#include "../runtime/Crt.h"

namespace {
const unsigned char kSyncByte = 0xFF;
}

KavraHeader::KavraHeader() {
    memset(m_sync, kSyncByte, sizeof m_sync);
}

KavraHeader::KavraHeader(const KavraHeader&) = default;
KavraHeader& KavraHeader::operator=(const KavraHeader&) = default;
KavraHeader::~KavraHeader() = default;

int KavraHeader::getData(CIPByteBuffer& out) {
    out.appendBytes(m_sync, SYNC_MARK_LENGTH);
    out.appendInt(getCommandLength());
    return 1;
}

int KavraHeader::setData(CIPByteBuffer& in) {
    in.removeBytes0(SYNC_MARK_LENGTH);
    m_commandLength = in.removeInt();
    return 1;
}

// One forward pass: after a run broken short of ten, the scan goes on
// behind the breaking byte. A run cut off by the end may be the front of a
// sync mark not yet read.
unsigned int KavraHeader::ValidateBuffer(CIPByteBuffer& buf) {
    const unsigned char* bytes = buf.getBuffer();
    const int n = static_cast<int>(buf.getLength());
    if (n <= 0) {
        return 0;
    }
    int i = 0;
    while (i < n) {
        if (bytes[i] != kSyncByte) {
            ++i;
            continue;
        }
        int j = 1;
        while (j < SYNC_MARK_LENGTH && i + j < n && bytes[i + j] == kSyncByte) {
            ++j;
        }
        if (j == SYNC_MARK_LENGTH || i + j == n) {
            break;
        }
        i += j + 1;
    }
    const int r = i < n ? i : n;
    if (r > 0) {
        buf.removeBytes0(r);
        buf.appendBytes0(r);
    }
    return static_cast<unsigned int>(r);
}
