#include "kavra/NullPduError.h"

namespace kavra {

namespace {

// GBK bytes, kept as escapes so that no editor or compiler setting can
// re-encode them.
constexpr char kText[] = "KavraClientThread::SendPdu"
                         "\xB7\xA2\xCF\xD6\xB2\xCE\xCA\xFD"
                         "pdu"
                         "\xCE\xAA\xBF\xD5\xA1\xA3";

} // namespace

NullPduError::NullPduError() : std::invalid_argument(kText) {}

// Out of line, so that the library holds the one type identity a catch
// across its boundary matches.
NullPduError::~NullPduError() = default;

const char* NullPduError::Text() {
    return kText;
}

} // namespace kavra
