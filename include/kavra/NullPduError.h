#pragma once

#include "kavra/Export.h"

#include <stdexcept>

namespace kavra {

/// What KavraClientThread::SendPdu throws for a null bytes pointer. A
/// std::invalid_argument, so catchable as std::exception; what() is the
/// fixed GBK text Text(), byte for byte.
class KAVRA_API NullPduError : public std::invalid_argument {
public:
    NullPduError();
    ~NullPduError() override;
    /// A copy carries the same text. Any thread.
    NullPduError(const NullPduError&) = default;
    /// Takes the other's text. Any thread.
    NullPduError& operator=(const NullPduError&) = default;

    /// The message, GBK bytes ("KavraClientThread::SendPdu" and Chinese for
    /// "found parameter pdu empty."), NUL-terminated. Any thread.
    static const char* Text();
};

} // namespace kavra
