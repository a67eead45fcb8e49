// A socket over TLS asks the stream, not the descriptor, whether the peer
// ended: only a read tells a cut from close_notify, and what that read
// decrypts must still reach the caller.
#include "support/Slowdown.h"
#include "support/TlsEchoServer.h"
#include "support/TlsPeers.h"

#include <kavra/TlsErrors.h>
#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace kavra::test {
namespace {

// Asks until cond holds, within the suite's patience.
template <typename Cond> bool Eventually(Cond cond) {
    const auto end = std::chrono::steady_clock::now() + Patient(std::chrono::milliseconds(5000));
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(TlsPeerClose, APeekKeepsTheBytesItDecryptsAndTellsACutFromAnOrderlyEnd) {
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
    auto peer = std::make_unique<TlsEchoServer>(certs.Good(), true);
    kavra::TlsOptions tls;
    tls.SetEnabled(true);
    tls.SetCaFile(certs.Ca());
    CSocket socket;
    ASSERT_EQ(socket.SetTls(tls), 0) << socket.GetLastErrorDetail();
    const int wait = static_cast<int>(Patient(std::chrono::milliseconds(5000)).count());
    ASSERT_EQ(socket.Connect("127.0.0.1", peer->Port(), static_cast<unsigned int>(wait)), 1)
        << socket.GetLastErrorDetail();
    ASSERT_EQ(socket.Send("echo me", 7, wait), 7);
    // The echo arrives while the loop only peeks: it waits decrypted in the
    // stream, and the socket is not closed.
    ASSERT_TRUE(Eventually([&] { return socket.PeerClosed() || socket.HasBufferedInput(); }));
    EXPECT_TRUE(socket.IsConnected()) << socket.GetLastErrorDetail();
    EXPECT_GT(socket.Available(), 0);
    char echo[7] = {};
    ASSERT_EQ(socket.Receive(echo, 7, wait), 7);
    EXPECT_EQ(std::string(echo, 7), "echo me");

    // The server goes away without close_notify: a cut, not an orderly end.
    peer.reset();
    ASSERT_TRUE(Eventually([&] { return socket.PeerClosed(); }));
    EXPECT_TRUE(socket.HasFailed());
    EXPECT_EQ(socket.GetLastError(), KAVRA_TLS_TRUNCATED) << socket.GetLastErrorDetail();
}

} // namespace
} // namespace kavra::test
