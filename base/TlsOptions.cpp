#include "kavra/base/TlsOptions.h"

#include "base/os/tls/TlsEngine.h"

namespace kavra {

bool TlsOptions::Available() {
    return os::TlsEngine::Built();
}

} // namespace kavra
