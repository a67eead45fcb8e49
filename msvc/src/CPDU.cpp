#include "kavra_msvc/CPDU.h"

#include "kavra_msvc/CPDUHeader.h"

const unsigned char CPDU::VALID_HEADER = 0x01;
const unsigned char CPDU::VALID_BODY = 0x02;
const unsigned char CPDU::VALID_ALL = 0x03;

CPDU::CPDU() : m_pduType(0), m_validFlags(0), m_header(nullptr) {}

CPDU::CPDU(const CPDU& other)
    : CIPByteData(other), m_pduType(other.m_pduType), m_validFlags(other.m_validFlags),
      m_header(nullptr) {}

CPDU& CPDU::operator=(const CPDU& other) {
    m_pduType = other.m_pduType;
    m_validFlags = other.m_validFlags;
    return *this;
}

CPDU::~CPDU() {
    delete m_header;
}

int CPDU::setData(CIPByteBuffer& in) {
    return setBody(in);
}

int CPDU::getData(CIPByteBuffer& out) {
    getHeader(out);
    return getBody(out);
}

void CPDU::checkHeader() {}

int CPDU::setBody(CIPByteBuffer&) {
    return 1;
}

int CPDU::getBody(CIPByteBuffer&) {
    return 1;
}

int CPDU::isRequest() {
    return 1;
}

int CPDU::canResponse() {
    return 1;
}

int CPDU::isResponse() {
    return 0;
}

int CPDU::setHeader(CIPByteBuffer& in) {
    return m_header != nullptr ? m_header->setData(in) : 0;
}

int CPDU::getHeader(CIPByteBuffer& out) {
    return m_header != nullptr ? m_header->getData(out) : 1;
}

int CPDU::setOptionalBody(CIPByteBuffer&) {
    return 1;
}

int CPDU::getOptionalBody(CIPByteBuffer&) {
    return 1;
}

void CPDU::registerOptional(CTLV*) {}

void CPDU::registerExtraOptional(CTLV*) {}

CTLV* CPDU::findOptional(short) {
    return nullptr;
}

void CPDU::replaceExtraOptional(CTLV*) {}

void CPDU::setExtraOptional(CTLV*) {}

void CPDU::setExtraOptional(short, CIPByteBuffer&) {}

CTLV* CPDU::getExtraOptional(short) {
    return nullptr;
}
