#include "framing/WholeFrame.h"

#include "kavra/KavraHeader.h"
#include "kavra/KavraPDU.h"

#include "base/BlockAccounting.h"
#include "base/PooledBytes.h"
#include "framing/PduObjectPool.h"

#include <cstring>
#include <typeinfo>

namespace kavra {

int WholeFrame::BodyLength(const unsigned char* bytes, std::size_t count) {
    constexpr auto headerLength = static_cast<std::size_t>(KavraHeader::HEADER_LENGTH);
    // Compared as a whole, which the compiler turns into two loads.
    static constexpr unsigned char MARK[KavraHeader::SYNC_MARK_LENGTH] = {
        KavraHeader::SYNC_BYTE, KavraHeader::SYNC_BYTE, KavraHeader::SYNC_BYTE,
        KavraHeader::SYNC_BYTE, KavraHeader::SYNC_BYTE, KavraHeader::SYNC_BYTE,
        KavraHeader::SYNC_BYTE, KavraHeader::SYNC_BYTE, KavraHeader::SYNC_BYTE,
        KavraHeader::SYNC_BYTE};
    if (count < headerLength || std::memcmp(bytes, MARK, sizeof(MARK)) != 0) {
        return 0;
    }
    const int length = KavraHeader::DecodeBodyLength(bytes);
    if (KavraHeader::ActionForLength(length) != KavraHeader::BodyAction::Deliver ||
        count - headerLength < static_cast<std::size_t>(length)) {
        return 0;
    }
    return length;
}

void WholeFrame::CopyBody(KavraPDU& pdu, const unsigned char* body, int length) {
    const auto size = static_cast<unsigned int>(length);
    unsigned char* block = PooledBytes::New(BlockKind::PduBody, size);
    std::memcpy(block, body, size);
    pdu.m_bufAddr = block;
    pdu.m_bufSize = size;
    pdu.m_borrowed = 0;
}

bool WholeFrame::Refillable(const KavraPDU& pdu) noexcept {
    return typeid(pdu) == typeid(KavraPDU) && pdu.m_header == nullptr && pdu.m_borrowed == 0 &&
           pdu.m_bufAddr != nullptr && pdu.m_bufSize <= PooledBytes::SMALL_BLOCK;
}

void WholeFrame::Refill(KavraPDU& pdu, const unsigned char* body, int length) noexcept {
    const auto size = static_cast<unsigned int>(length);
    std::memcpy(pdu.m_bufAddr, body, size);
    pdu.m_bufSize = size;
    pdu.m_validFlags = 0;
    pdu.m_pduType = 0;
    BlockAccounting::Allocated(BlockKind::PduBody, pdu.m_bufAddr, size);
}

void WholeFrame::DestroyReported(KavraPDU* pdu) noexcept {
    // What delete does, minus the two reports: the body is taken away first,
    // so that the destructor has none to release.
    PooledBytes::DeleteReported(static_cast<unsigned char*>(pdu->m_bufAddr), pdu->m_bufSize);
    pdu->m_bufAddr = nullptr;
    pdu->~KavraPDU();
    PduObjectPool().Release(pdu, sizeof(KavraPDU));
}

} // namespace kavra
