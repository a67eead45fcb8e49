#include "kavra/PduSizeError.h"

namespace kavra {

namespace {

// GBK bytes, kept as escapes so that no editor or compiler setting can
// re-encode them.
constexpr char kText[] = "KavraClientThread::SendPdu"
                         "\xB7\xA2\xCF\xD6\xB2\xCE\xCA\xFD"
                         "size"
                         "\xD4\xBD\xBD\xE7\xA1\xA3";

} // namespace

PduSizeError::PduSizeError() : std::out_of_range(kText) {}

// Out of line, so that the library holds the one type identity a catch
// across its boundary matches.
PduSizeError::~PduSizeError() = default;

const char* PduSizeError::Text() {
    return kText;
}

} // namespace kavra
