// The engine of a build without TLS: every session fails to start, so a
// connection that asks for TLS fails with a code that says why instead of
// going out in plain text.
#include "base/os/tls/TlsContext.h"

#include "kavra/TlsErrors.h"

namespace kavra::os {

bool TlsEngine::Built() {
    return false;
}

std::shared_ptr<const TlsContext> TlsContext::Make(const TlsSettings&, int& error,
                                                   std::string& detail) {
    error = KAVRA_TLS_NOT_BUILT;
    detail = "this build of kavra has no TLS (configured with KAVRA_TLS=OFF, or no TLS "
             "library was found)";
    return nullptr;
}

} // namespace kavra::os
