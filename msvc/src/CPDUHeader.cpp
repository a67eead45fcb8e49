#include "kavra_msvc/CPDUHeader.h"

CPDUHeader::CPDUHeader()
    : m_commandLength(0), m_commandId(0), m_commandStatus(0), m_sequenceNumber(0) {}
CPDUHeader::CPDUHeader(const CPDUHeader&) = default;
CPDUHeader& CPDUHeader::operator=(const CPDUHeader&) = default;
CPDUHeader::~CPDUHeader() = default;

int CPDUHeader::getCommandLength() {
    return m_commandLength;
}

int CPDUHeader::getCommandId() {
    return m_commandId;
}

int CPDUHeader::getCommandStatus() {
    return m_commandStatus;
}

int CPDUHeader::getSequenceNumber() {
    return m_sequenceNumber;
}

void CPDUHeader::setCommandLength(int value) {
    m_commandLength = value;
}

void CPDUHeader::setCommandId(int value) {
    m_commandId = value;
}

void CPDUHeader::setCommandStatus(int value) {
    m_commandStatus = value;
}

void CPDUHeader::setSequenceNumber(int value) {
    m_sequenceNumber = value;
}
