#pragma once

#include "kavra/Export.h"
#include "kavra/base/CIPByteData.h"

#include <cstdint>

/// Base of PDU headers: four signed 32-bit fields with plain accessors.
class KAVRA_API CPDUHeader : public CIPByteData {
public:
    CPDUHeader() = default;
    ///@{
    /// Copies the four fields.
    CPDUHeader(const CPDUHeader&) = default;
    CPDUHeader& operator=(const CPDUHeader&) = default;
    ///@}
    ~CPDUHeader() override;

    /// @name Accessors: each returns or sets its field.
    ///@{
    virtual int getCommandLength();   ///< Returns m_commandLength.
    virtual int getCommandId();       ///< Returns m_commandId.
    virtual int getCommandStatus();   ///< Returns m_commandStatus.
    virtual int getSequenceNumber();  ///< Returns m_sequenceNumber.
    virtual void setCommandLength(int value);  ///< Sets m_commandLength.
    virtual void setCommandId(int value);      ///< Sets m_commandId.
    virtual void setCommandStatus(int value);  ///< Sets m_commandStatus.
    virtual void setSequenceNumber(int value); ///< Sets m_sequenceNumber.
    ///@}

protected:
    std::int32_t m_commandLength = 0;  ///< The command (body) length field.
    std::int32_t m_commandId = 0;      ///< The command id field.
    std::int32_t m_commandStatus = 0;  ///< The command status field.
    std::int32_t m_sequenceNumber = 0; ///< The sequence number field.
};
