// A TLS handshake the peer never answers (a listener that takes the
// connection and stays silent) holds neither the sends, nor the statistics,
// nor the stop: the handshake is a step of the worker's loop.
#include "reliability/StalledSetup.h"

#include <kavra/base/TlsOptions.h>

namespace kavra::test {
namespace {

TEST(StalledSetup, AHandshakeThatNeverEndsHoldsNothing) {
    if (!kavra::TlsOptions::Available()) {
        GTEST_SKIP() << "this build has no TLS (KAVRA_TLS=OFF, or no TLS library found)";
    }
    LoopbackServer silent;
    CServerStatus server("127.0.0.1", silent.Port());
    kavra::TlsOptions tls;
    tls.SetEnabled(true);
    tls.SetInsecureSkipVerify(true);
    server.SetTls(tls);
    CheckStalledAttempt(server);
    EXPECT_TRUE(silent.WaitForConnection(0, kSoon)) << "the TCP connect never came";
}

} // namespace
} // namespace kavra::test
