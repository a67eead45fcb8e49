// A reconnect resumes the TLS session of the connection before it, against
// `openssl s_server` (TLS 1.2 and 1.3), which counts the sessions it found
// again in its own report; and a CA file renewed in between makes the next
// connect a full handshake checked against the file as it is then.
#include "ReliabilityUtil.h"
#include "support/TlsPeers.h"

#include <kavra/base/CServerStatus.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kavra::test {
namespace {

namespace fs = std::filesystem;

// The number s_server's closing report gives for label ("   1 session
// cache hits"), or -1 when the report has no such line.
long ReportCount(const std::string& report, const std::string& label) {
    const std::size_t at = report.find(" " + label + "\n");
    if (at == std::string::npos) {
        return -1;
    }
    const std::size_t line = report.rfind('\n', at);
    const std::size_t begin = line == std::string::npos ? 0 : line + 1;
    return std::stol(report.substr(begin, at - begin));
}

// Asks s_server to close the connection (its line "CLOSE"; the frame's
// header goes before it as a line of its own) and waits for the client to
// have made connection number made.
void DropAndWaitFor(KavraClientThread& client, std::uint64_t made) {
    const std::string line = "\nCLOSE\n";
    ASSERT_EQ(client.SendPdu(line.data(), static_cast<unsigned int>(line.size())), 0);
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().connectionsMade == made; }))
        << "no connection " << made << "; last connect error "
        << client.GetStats().lastConnectError;
}

TEST(TlsResumption, AReconnectResumesUnlessAFileChanged) {
    const std::string openssl = FindOpenSsl();
    if (!kavra::TlsOptions::Available() || openssl.empty()) {
        GTEST_SKIP() << "needs TLS in this build and the openssl program";
    }
    TestCertificates certs(openssl);
    ASSERT_TRUE(certs.Ready()) << certs.Why();
    for (const std::string version : {"-tls1_2", "-tls1_3"}) {
        SCOPED_TRACE(version);
        OpenSslServer server(openssl, certs.Good(), {"-naccept", "3", version});
        ASSERT_NE(server.Port(), 0) << server.Output();
        const fs::path caFile = fs::temp_directory_path() /
                                ("kavra-resumption-" + std::to_string(server.Port()) + ".pem");
        fs::copy_file(certs.Ca(), caFile, fs::copy_options::overwrite_existing);

        kavra::TlsOptions tls;
        tls.SetEnabled(true);
        tls.SetCaFile(caFile.string());
        CServerStatus status("127.0.0.1", server.Port());
        ASSERT_EQ(status.SetTls(tls), 0);
        status.SetBackoff(20, 200);
        KeepingClient client;
        ASSERT_EQ(client.SetSocket(nullptr, 0, &status), 1);
        ASSERT_EQ(client.Create(), 1);
        EXPECT_EQ(client.GetStats().resumedHandshakes, 0U);

        // The server drops the connection; the reconnect offers the session
        // the server gave the first one.
        DropAndWaitFor(client, 2);
        EXPECT_EQ(client.GetStats().resumedHandshakes, 1U);
        EXPECT_EQ(client.GetStats().tlsVersion, version == "-tls1_2" ? 0x0303U : 0x0304U);

        // The CA file is renewed (here: one more line): the next connect
        // reads it again and checks the server's certificate in full.
        std::ofstream(caFile, std::ios::app) << "\n";
        DropAndWaitFor(client, 3);
        EXPECT_EQ(client.GetStats().resumedHandshakes, 1U);

        const std::string close = "\nCLOSE\n";
        ASSERT_EQ(client.SendPdu(close.data(), static_cast<unsigned int>(close.size())), 0);
        ASSERT_TRUE(server.WaitForOutput("cache full overflows", kSoon)) << server.Output();
        client.Destroy();
        EXPECT_EQ(ReportCount(server.Output(), "server accepts that finished"), 3)
            << server.Output();
        EXPECT_EQ(ReportCount(server.Output(), "session cache hits"), 1) << server.Output();
        fs::remove(caFile);
    }
}

} // namespace
} // namespace kavra::test
