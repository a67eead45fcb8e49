#include "kavra/KavraHeader.h"

#include "kavra/base/CIPByteBuffer.h"

#include "base/BlockAccounting.h"
#include "base/BlockPool.h"

#include <cstdint>
#include <cstring>

namespace {

// Never destroyed, like the PDU pool.
kavra::BlockPool& headerPool() {
    static auto* pool = new kavra::BlockPool(sizeof(KavraHeader));
    return *pool;
}

} // namespace

void* KavraHeader::operator new(std::size_t size) {
    void* header = headerPool().Allocate(size);
    kavra::BlockAccounting::Allocated(kavra::BlockKind::HeaderObject, header, size);
    return header;
}

void KavraHeader::operator delete(void* header, std::size_t size) noexcept {
    kavra::BlockAccounting::Released(kavra::BlockKind::HeaderObject, header);
    headerPool().Release(header, size);
}

void* KavraHeader::operator new(std::size_t /*size*/, void* where) noexcept {
    return where;
}

void KavraHeader::operator delete(void* /*header*/, void* /*where*/) noexcept {}

KavraHeader::KavraHeader() : CPDUHeader() {
    std::memset(m_sync, SYNC_BYTE, sizeof(m_sync));
}

KavraHeader::KavraHeader(const KavraHeader& other) = default;

KavraHeader& KavraHeader::operator=(const KavraHeader& other) = default;

KavraHeader::~KavraHeader() = default;

int KavraHeader::getData(CIPByteBuffer& out) {
    out.appendBytes(m_sync, SYNC_MARK_LENGTH);
    // Virtual on purpose: a derived header that reports another length writes
    // that length.
    out.appendInt(getCommandLength());
    return 1;
}

int KavraHeader::setData(CIPByteBuffer& in) {
    // The sync bytes are skipped unexamined: the reader has already lined the
    // buffer up on them with ValidateBuffer, and they never replace m_sync.
    in.removeBytes0(SYNC_MARK_LENGTH);
    m_commandLength = in.removeInt();
    return 1;
}

unsigned int KavraHeader::ValidateBuffer(CIPByteBuffer& buf) {
    const auto length = static_cast<std::int32_t>(buf.getLength());
    if (length <= 0) {
        return 0;
    }
    const unsigned int dropped = FindSyncStart(buf.getBuffer(), length);
    if (dropped > 0) {
        // Keep the length: the zero bytes stand for the stream bytes that the
        // caller still has to read into the tail.
        buf.removeBytes0(static_cast<int>(dropped));
        buf.appendBytes0(static_cast<int>(dropped));
    }
    return dropped;
}

unsigned int KavraHeader::FindSyncStart(const unsigned char* bytes, int length) {
    if (bytes == nullptr || length <= 0) {
        return 0;
    }
    // The common case, a stream in step: the buffer starts with the mark.
    // Compared as a whole, which the compiler turns into two loads.
    static constexpr unsigned char MARK[SYNC_MARK_LENGTH] = {
        SYNC_BYTE, SYNC_BYTE, SYNC_BYTE, SYNC_BYTE, SYNC_BYTE,
        SYNC_BYTE, SYNC_BYTE, SYNC_BYTE, SYNC_BYTE, SYNC_BYTE};
    if (length >= SYNC_MARK_LENGTH && std::memcmp(bytes, MARK, sizeof(MARK)) == 0) {
        return 0;
    }
    int i = 0;
    while (i < length) {
        if (bytes[i] != SYNC_BYTE) {
            ++i;
            continue;
        }
        int j = 1;
        while (j < SYNC_MARK_LENGTH && i + j < length && bytes[i + j] == SYNC_BYTE) {
            ++j;
        }
        // A full mark, or a shorter run cut off by the end of what has been
        // read so far, which may be the front of a mark still in the stream.
        if (j == SYNC_MARK_LENGTH || i + j == length) {
            return static_cast<unsigned int>(i);
        }
        // bytes[i + j] broke the run. Every run starting inside [i, i + j]
        // would meet that same byte before its tenth 0xFF, so resume behind it.
        i += j + 1;
    }
    return static_cast<unsigned int>(length);
}

KavraHeader::BodyAction KavraHeader::ActionForLength(int bodyLength) {
    if (bodyLength <= 0) {
        return BodyAction::Empty;
    }
    if (bodyLength <= MAX_BODY_LENGTH) {
        return BodyAction::Deliver;
    }
    return bodyLength <= MAX_DISCARD_LENGTH ? BodyAction::Discard : BodyAction::Garbage;
}

void KavraHeader::EncodeHeader(int bodyLength, unsigned char* out) {
    std::memset(out, SYNC_BYTE, SYNC_MARK_LENGTH);
    const auto value = static_cast<std::uint32_t>(bodyLength);
    for (int i = 0; i < 4; ++i) {
        out[SYNC_MARK_LENGTH + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
    }
}

int KavraHeader::DecodeBodyLength(const unsigned char* header) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value = (value << 8) | header[SYNC_MARK_LENGTH + i];
    }
    return static_cast<int>(value);
}
