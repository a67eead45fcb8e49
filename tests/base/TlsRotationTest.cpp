// Renewed files count from the next connect on: one socket, reconnecting,
// verifies against its CA file as the file is at that connect, while every
// connect in between reuses what was loaded once.
#include "support/Slowdown.h"
#include "support/TlsEchoServer.h"
#include "support/TlsPeers.h"

#include <kavra/TlsErrors.h>
#include <kavra/base/CServerStatus.h>
#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace kavra::test {
namespace {

namespace fs = std::filesystem;

unsigned int ConnectMs() {
    return static_cast<unsigned int>(Patient(std::chrono::milliseconds(5000)).count());
}

// Echoes one line over the connection that is up.
void ExpectEcho(CSocket& socket) {
    const int wait = static_cast<int>(ConnectMs());
    ASSERT_EQ(socket.Send("ping", 4, wait), 4);
    char echo[4] = {};
    ASSERT_EQ(socket.Receive(echo, 4, wait), 4);
    EXPECT_EQ(std::string(echo, 4), "ping");
}

TEST(TlsRotation, ARenewedCaFileDecidesTheNextConnect) {
    const std::string openssl = FindOpenSsl();
    if (!kavra::TlsOptions::Available() || openssl.empty()) {
        GTEST_SKIP() << "needs TLS in this build and the openssl program";
    }
    TestCertificates certs(openssl);
    ASSERT_TRUE(certs.Ready()) << certs.Why();
    std::string why;
    if (!TlsEchoServer::Supported(certs.Good(), why)) {
        GTEST_SKIP() << "the test's TLS server cannot run here: " << why;
    }
    // Two servers: one with a certificate of the test CA, one with a
    // certificate that vouches for itself.
    TlsEchoServer signedByCa(certs.Good(), true);
    TlsEchoServer selfSigned(certs.SelfSigned(), true);
    const fs::path folder = fs::temp_directory_path() / ("kavra-rotation-" + std::to_string(signedByCa.Port()));
    fs::create_directories(folder);
    const fs::path caFile = folder / "trusted.pem";
    fs::copy_file(certs.Ca(), caFile, fs::copy_options::overwrite_existing);

    kavra::TlsOptions tls;
    tls.SetEnabled(true);
    tls.SetCaFile(caFile.string());
    tls.SetServerName("127.0.0.1");
    CSocket socket;
    ASSERT_EQ(socket.SetTls(tls), 0) << socket.GetLastErrorDetail();
    ASSERT_EQ(socket.Connect("127.0.0.1", signedByCa.Port(), ConnectMs()), 1) << socket.GetLastErrorDetail();
    ExpectEcho(socket);
    EXPECT_EQ(socket.Connect("127.0.0.1", selfSigned.Port(), ConnectMs()), 0);
    EXPECT_EQ(socket.GetLastError(), KAVRA_TLS_UNTRUSTED) << socket.GetLastErrorDetail();

    // The user renews the trusted file in place, as a deployment does.
    fs::copy_file(certs.SelfSigned().cert, caFile, fs::copy_options::overwrite_existing);
    ASSERT_EQ(socket.Connect("127.0.0.1", selfSigned.Port(), ConnectMs()), 1) << socket.GetLastErrorDetail();
    ExpectEcho(socket);
    EXPECT_EQ(socket.Connect("127.0.0.1", signedByCa.Port(), ConnectMs()), 0);
    EXPECT_EQ(socket.GetLastError(), KAVRA_TLS_UNTRUSTED) << socket.GetLastErrorDetail();

    // A file that breaks the settings fails the connect that finds it, with
    // its reason, and the next good one is picked up again.
    fs::remove(caFile);
    EXPECT_EQ(socket.Reconnect(ConnectMs()), 0);
    EXPECT_EQ(socket.GetLastError(), KAVRA_TLS_SETUP);
    EXPECT_NE(socket.GetLastErrorDetail().find(caFile.filename().string()), std::string::npos)
        << socket.GetLastErrorDetail();
    fs::copy_file(certs.Ca(), caFile);
    ASSERT_EQ(socket.Reconnect(ConnectMs()), 1) << socket.GetLastErrorDetail();
    ExpectEcho(socket);
    socket.Close();
    fs::remove_all(folder);
}

// A file that cannot be used is refused when the settings are given, with
// the reason, not first at a connect.
TEST(TlsRotation, SetTlsRefusesAFileThatCannotBeUsed) {
    if (!kavra::TlsOptions::Available()) {
        GTEST_SKIP() << "this build has no TLS";
    }
    kavra::TlsOptions tls;
    tls.SetEnabled(true);
    tls.SetCaFile("no-such-folder/ca.pem");
    CSocket socket;
    EXPECT_EQ(socket.SetTls(tls), KAVRA_TLS_SETUP);
    EXPECT_NE(socket.GetLastErrorDetail().find("ca.pem"), std::string::npos) << socket.GetLastErrorDetail();
    // The client's settings are checked as they are given too.
    CServerStatus server("127.0.0.1", 1);
    std::string why;
    EXPECT_EQ(server.SetTls(tls, &why), KAVRA_TLS_SETUP);
    EXPECT_NE(why.find("ca.pem"), std::string::npos) << why;

    // A certificate with a key that is not its own.
    const std::string openssl = FindOpenSsl();
    if (openssl.empty()) {
        return;
    }
    TestCertificates certs(openssl);
    ASSERT_TRUE(certs.Ready()) << certs.Why();
    tls.SetCaFile(certs.Ca());
    EXPECT_EQ(server.SetTls(tls, &why), 0) << why;
    tls.SetCertFile(certs.Good().cert);
    tls.SetKeyFile(certs.SelfSigned().key);
    EXPECT_EQ(server.SetTls(tls, &why), KAVRA_TLS_SETUP) << why;
#ifndef _WIN32
    // Schannel refuses client certificates from files before it reads them.
    EXPECT_NE(why.find(certs.SelfSigned().key), std::string::npos) << why;
#endif
}

} // namespace
} // namespace kavra::test
