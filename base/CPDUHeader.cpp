#include "kavra/base/CPDUHeader.h"

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
