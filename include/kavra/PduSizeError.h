#pragma once

#include "kavra/Export.h"

#include <stdexcept>

namespace kavra {

/// What KavraClientThread::SendPdu throws for a size above MAX_PDU_LENGTH.
/// A std::out_of_range, so catchable as std::exception; what() is the fixed
/// GBK text Text(), byte for byte.
class KAVRA_API PduSizeError : public std::out_of_range {
public:
    PduSizeError();
    ~PduSizeError() override;
    /// A copy carries the same text. Any thread.
    PduSizeError(const PduSizeError&) = default;
    /// Takes the other's text. Any thread.
    PduSizeError& operator=(const PduSizeError&) = default;

    /// The message, GBK bytes ("KavraClientThread::SendPdu" and Chinese for
    /// "found parameter size out of bounds."), NUL-terminated. Any thread.
    static const char* Text();
};

} // namespace kavra
