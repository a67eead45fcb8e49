#include "kavra/KavraPDU.h"

#include "kavra/KavraHeader.h"
#include "kavra/base/CIPByteBuffer.h"
#include "kavra/base/MemoryRegistry.h"

#include "base/BlockAccounting.h"
#include "base/BlockPool.h"
#include "base/PooledBytes.h"
#include "framing/PduObjectPool.h"

#include <climits>
#include <cstring>
#include <stdexcept>
#include <typeinfo>
#include <utility>

namespace kavra {

BlockPool& PduObjectPool() {
    // Never destroyed: a PDU may be freed during static destruction.
    static auto* pool = new BlockPool(sizeof(KavraPDU));
    return *pool;
}

} // namespace kavra

void* KavraPDU::operator new(std::size_t size) {
    void* pdu = kavra::PduObjectPool().Allocate(size);
    kavra::BlockAccounting::Allocated(kavra::BlockKind::PduObject, pdu, size);
    return pdu;
}

void KavraPDU::operator delete(void* pdu, std::size_t size) noexcept {
    kavra::BlockAccounting::Released(kavra::BlockKind::PduObject, pdu);
    kavra::PduObjectPool().Release(pdu, size);
}

void* KavraPDU::operator new(std::size_t /*size*/, void* where) noexcept {
    return where;
}

void KavraPDU::operator delete(void* /*pdu*/, void* /*where*/) noexcept {}

KavraPDU::KavraPDU() : CPDU() {}

KavraPDU::KavraPDU(const KavraPDU& other) : CPDU(other) {
    copyFrom(other);
}

KavraPDU& KavraPDU::operator=(const KavraPDU& other) {
    if (this != &other) {
        // Build the whole copy first; only the swap touches this object, so a
        // failed allocation leaves it as it was. The copy then takes our old
        // header and body away and releases what we owned.
        KavraPDU copy(other);
        std::swap(m_pduType, copy.m_pduType);
        std::swap(m_validFlags, copy.m_validFlags);
        std::swap(m_header, copy.m_header);
        std::swap(m_bufAddr, copy.m_bufAddr);
        std::swap(m_bufSize, copy.m_bufSize);
        std::swap(m_borrowed, copy.m_borrowed);
    }
    return *this;
}

KavraPDU::~KavraPDU() {
    ReleaseBuffer();
}

void KavraPDU::copyFrom(const KavraPDU& other) {
    if (other.m_header != nullptr) {
        auto* header = new KavraHeader();
        // Stored at once: should the body allocation below throw, the CPDU
        // destructor still deletes the header.
        m_header = header;
        _AddMemory(header, static_cast<int>(sizeof(KavraHeader)), 1, nullptr);
        if (const auto* source = dynamic_cast<const KavraHeader*>(other.m_header)) {
            *header = *source;
        } else {
            // A derived PDU may keep another header type; carry its values.
            header->setCommandLength(other.m_header->getCommandLength());
            header->setCommandId(other.m_header->getCommandId());
            header->setCommandStatus(other.m_header->getCommandStatus());
            header->setSequenceNumber(other.m_header->getSequenceNumber());
        }
    }
    // The copy always owns its bytes, even when the source only borrows them:
    // the source's lender may release them while the copy lives on.
    m_bufSize = other.m_bufSize;
    if (other.m_bufAddr != nullptr) {
        unsigned char* block =
            kavra::PooledBytes::New(kavra::BlockKind::PduBody, other.m_bufSize);
        std::memcpy(block, other.m_bufAddr, other.m_bufSize);
        m_bufAddr = block;
    }
}

int KavraPDU::setData(CIPByteBuffer& in) {
    m_validFlags = VALID_HEADER;
    if (setBody(in) == 0) {
        return 0;
    }
    m_validFlags = VALID_ALL;
    return 1;
}

int KavraPDU::getData(CIPByteBuffer& out) {
    // Exactly this class: getBody appends m_bufSize bytes, or none without a
    // body, so the length is known before the body is written and the body
    // goes straight behind the header, without a buffer of its own. A body
    // too large for a buffer takes the other way, which throws before it
    // writes anything; so does a body lent from out's own storage, which
    // writing the header may move or overwrite.
    if (typeid(*this) == typeid(KavraPDU) &&
        (m_bufAddr == nullptr || (m_bufSize <= static_cast<std::uint32_t>(INT_MAX) &&
                                  !out.overlaps(m_bufAddr, m_bufSize)))) {
        checkHeader();
        if (m_header != nullptr) {
            m_header->setCommandLength(m_bufAddr != nullptr ? static_cast<int>(m_bufSize) : 0);
        }
        getHeader(out);
        getBody(out);
        return 1;
    }
    // The body goes through a buffer of its own first, so the length in the
    // header is what getBody really wrote, also for an overriding getBody.
    CIPByteBuffer body;
    getBody(body);
    const auto length = static_cast<int>(body.getLength());
    checkHeader();
    if (m_header != nullptr) {
        m_header->setCommandLength(length);
    }
    getHeader(out);
    out.appendBuffer(&body);
    return 1;
}

void KavraPDU::checkHeader() {
    if (m_header != nullptr) {
        return;
    }
    auto* header = new KavraHeader();
    m_header = header;
    _AddMemory(header, static_cast<int>(sizeof(KavraHeader)), 1, nullptr);
}

int KavraPDU::setBody(CIPByteBuffer& in) {
    ReleaseBuffer();
    // A borrowed body is forgotten here, before the allocation: should it
    // throw, the PDU holds no body rather than a lent block marked as owned.
    m_borrowed = 0;
    m_bufAddr = nullptr;
    m_bufSize = 0;
    const unsigned int length = in.getLength();
    m_bufAddr = kavra::PooledBytes::New(kavra::BlockKind::PduBody, length);
    m_bufSize = length;
    in.removeString(m_bufAddr, static_cast<int>(length));
    return 1;
}

int KavraPDU::getBody(CIPByteBuffer& out) {
    if (m_bufAddr == nullptr) {
        return 1;
    }
    // A lent body may be described by any 32-bit size; a buffer takes int
    // counts only, and a silent partial copy would corrupt the frame.
    if (m_bufSize > static_cast<std::uint32_t>(INT_MAX)) {
        throw std::length_error("KavraPDU: body larger than a byte buffer can hold");
    }
    out.appendBytes(m_bufAddr, static_cast<int>(m_bufSize));
    return 1;
}

int KavraPDU::isRequest() {
    return 1;
}

int KavraPDU::canResponse() {
    return 1;
}

int KavraPDU::isResponse() {
    return 0;
}

void KavraPDU::setBuffer(DATABUFFER& buffer) {
    ReleaseBuffer();
    m_bufAddr = buffer.data;
    m_bufSize = buffer.size;
    m_borrowed = 1;
}

void* KavraPDU::getBufAddr() {
    return m_bufAddr;
}

unsigned int KavraPDU::getBufSize() {
    return m_bufSize;
}

void KavraPDU::ReleaseBuffer() {
    if (m_bufAddr == nullptr || m_borrowed != 0) {
        return;
    }
    kavra::PooledBytes::Delete(kavra::BlockKind::PduBody, static_cast<unsigned char*>(m_bufAddr),
                               m_bufSize);
    m_bufAddr = nullptr;
    m_bufSize = 0;
}
