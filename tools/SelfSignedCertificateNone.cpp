// A build whose tool does not serve TLS makes no certificates; the commands
// that would need one refuse first (RequireServingTls), so this only keeps
// the reason in one place should a new caller forget to ask.
#include "SelfSignedCertificate.h"

#include <stdexcept>

namespace kavra::tool {

SelfSignedCertificate::SelfSignedCertificate() {
    throw std::runtime_error("cannot make a certificate: this build of kavra does not serve TLS");
}

SelfSignedCertificate::~SelfSignedCertificate() = default;

} // namespace kavra::tool
