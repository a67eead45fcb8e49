#include "kavra_msvc/KavraPDU.h"

#include "kavra_msvc/CIPByteBuffer.h"
#include "kavra_msvc/KavraHeader.h"

#include "../runtime/Crt.h"

KavraPDU::KavraPDU() : m_bufAddr(nullptr), m_bufSize(0), m_borrowed(0) {}

KavraPDU::KavraPDU(const KavraPDU& other)
    : CPDU(other), m_bufAddr(nullptr), m_bufSize(0), m_borrowed(0) {
    copyFrom(other);
}

KavraPDU& KavraPDU::operator=(const KavraPDU& other) {
    if (this != &other) {
        CPDU::operator=(other);
        copyFrom(other);
    }
    return *this;
}

KavraPDU::~KavraPDU() {
    ReleaseBuffer();
}

// The copy owns its body and header whatever the source owned or borrowed,
// so the two are destroyed independently.
void KavraPDU::copyFrom(const KavraPDU& other) {
    CIPByteBuffer body;
    body.appendBytes(other.m_bufAddr, static_cast<int>(other.m_bufSize));
    if (other.m_bufAddr != nullptr) {
        setBody(body);
    } else {
        ReleaseBuffer();
        m_bufAddr = nullptr;
        m_borrowed = 0;
    }
    if (other.m_header == nullptr) {
        delete m_header;
        m_header = nullptr;
        return;
    }
    checkHeader();
    m_header->setCommandLength(other.m_header->getCommandLength());
    m_header->setCommandId(other.m_header->getCommandId());
    m_header->setCommandStatus(other.m_header->getCommandStatus());
    m_header->setSequenceNumber(other.m_header->getSequenceNumber());
}

int KavraPDU::getData(CIPByteBuffer& out) {
    CIPByteBuffer body;
    getBody(body);
    const auto length = static_cast<int>(body.getLength());
    checkHeader();
    m_header->setCommandLength(length);
    getHeader(out);
    out.appendBuffer(&body);
    return 1;
}

int KavraPDU::setData(CIPByteBuffer& in) {
    m_validFlags = VALID_HEADER;
    if (setBody(in) == 0) {
        return 0;
    }
    m_validFlags = VALID_ALL;
    return 1;
}

void KavraPDU::checkHeader() {
    if (m_header == nullptr) {
        m_header = new KavraHeader;
    }
}

int KavraPDU::setBody(CIPByteBuffer& in) {
    ReleaseBuffer();
    m_bufAddr = nullptr;
    m_borrowed = 0;
    const unsigned int length = in.getLength();
    m_bufAddr = operator new(length);
    m_bufSize = length;
    in.removeString(m_bufAddr, static_cast<int>(length));
    return 1;
}

int KavraPDU::getBody(CIPByteBuffer& out) {
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
    if (m_bufAddr != nullptr && m_borrowed == 0) {
        operator delete(m_bufAddr);
        m_bufAddr = nullptr;
        m_bufSize = 0;
    }
}
