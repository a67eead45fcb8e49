// Base of PDU headers: four signed 32-bit fields with plain accessors.
#pragma once

#include "kavra/Export.h"
#include "kavra/base/CIPByteData.h"

#include <cstdint>

class KAVRA_API CPDUHeader : public CIPByteData {
public:
    CPDUHeader() = default;
    CPDUHeader(const CPDUHeader&) = default;
    CPDUHeader& operator=(const CPDUHeader&) = default;
    ~CPDUHeader() override;

    virtual int getCommandLength();
    virtual int getCommandId();
    virtual int getCommandStatus();
    virtual int getSequenceNumber();
    virtual void setCommandLength(int value);
    virtual void setCommandId(int value);
    virtual void setCommandStatus(int value);
    virtual void setSequenceNumber(int value);

protected:
    std::int32_t m_commandLength = 0;
    std::int32_t m_commandId = 0;
    std::int32_t m_commandStatus = 0;
    std::int32_t m_sequenceNumber = 0;
};
