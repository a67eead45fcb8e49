// The header base: four signed 32-bit fields with virtual accessors.
#pragma once

#include "kavra_msvc/CIPByteData.h"
#include "kavra_msvc/Export.h"

class KAVRA_MSVC_API CPDUHeader : public CIPByteData {
public:
    CPDUHeader();
    CPDUHeader(const CPDUHeader& other);
    CPDUHeader& operator=(const CPDUHeader& other);
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
    int m_commandLength;
    int m_commandId;
    int m_commandStatus;
    int m_sequenceNumber;
};
