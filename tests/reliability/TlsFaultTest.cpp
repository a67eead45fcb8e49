// The client over TLS against a TLS server of the test's own (the engine's
// server side): frames cross byte for byte, a server the client must refuse
// is a failed connect with its code, damage inside the TLS stream and a
// stalled reader cost only counted PDUs and never a spliced frame, and a
// stop is bounded even inside a hanging handshake.
#include "ReliabilityUtil.h"
#include "support/Slowdown.h"
#include "support/TlsEchoServer.h"
#include "support/TlsRelay.h"

#include <kavra/TlsErrors.h>
#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <iostream>
#include <mutex>
#include <thread>

namespace kavra::test {
namespace {

using std::chrono::seconds;

// Keeps received PDUs and records the connection events.
class EventClient : public KeepingClient {
public:
    ~EventClient() override { Destroy(); }
    std::vector<int> Connects() const { return copy(m_connects); }
    std::vector<int> Closes() const { return copy(m_closes); }

protected:
    void OnSocketConnect(int error) override {
        record(m_connects, error);
        KeepingClient::OnSocketConnect(error);
    }
    void OnSocketClose(int error) override {
        record(m_closes, error);
        KeepingClient::OnSocketClose(error);
    }

private:
    void record(std::vector<int>& events, int error) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        events.push_back(error);
    }
    std::vector<int> copy(const std::vector<int>& events) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return events;
    }
    mutable std::mutex m_mutex;
    std::vector<int> m_connects;
    std::vector<int> m_closes;
};

class TlsClient : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string openssl = FindOpenSsl();
        if (kavra::TlsOptions::Available() && !openssl.empty()) {
            certs = std::make_unique<TestCertificates>(openssl);
        }
    }
    static void TearDownTestSuite() { certs.reset(); }
    void SetUp() override {
        if (!kavra::TlsOptions::Available()) {
            GTEST_SKIP() << "this build has no TLS (KAVRA_TLS=OFF, or no TLS library found)";
        }
        if (!certs) {
            GTEST_SKIP() << "the openssl program, which makes the certificates, is not installed";
        }
        ASSERT_TRUE(certs->Ready()) << certs->Why();
        std::string why;
        if (!TlsEchoServer::Supported(certs->Good(), why)) {
            GTEST_SKIP() << "the test's TLS server cannot run here: " << why;
        }
    }

    // TLS to 127.0.0.1:port, trusting the test CA.
    static CServerStatus Server(unsigned short port, bool reconnect) {
        CServerStatus server("127.0.0.1", port);
        kavra::TlsOptions tls;
        tls.SetEnabled(true);
        tls.SetCaFile(certs->Ca());
        server.SetTls(tls);
        server.SetReconnect(reconnect);
        server.SetBackoff(20, 200);
        return server;
    }

    // Sends PDUs first .. first + count - 1 and takes their echoes; each must
    // come back whole.
    static void EchoNumbered(KavraClientThread& client, std::uint32_t first, std::uint32_t count) {
        for (std::uint32_t i = first; i < first + count; ++i) {
            const Bytes body = Numbered(i, SizeOf(i));
            ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
            const std::optional<Bytes> echo = TakeBody(client);
            ASSERT_TRUE(echo.has_value()) << "no echo of PDU " << i;
            ASSERT_TRUE(*echo == body) << "PDU " << i << " came back changed";
        }
    }

    inline static std::unique_ptr<TestCertificates> certs;
};

Bytes AsBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST_F(TlsClient, FramesCrossByteForByteAndAStopClosesWithCloseNotify) {
    TlsEchoServer peer(certs->Good(), true);
    EventClient client;
    CServerStatus server = Server(peer.Port(), false);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    ASSERT_EQ(client.Create(), 1);
    constexpr std::uint32_t kPdus = 300;
    EchoNumbered(client, 0, kPdus);
    // The counter follows the queue, which the consumer may have emptied first.
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == kPdus; }));

    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.encrypted, 1U);
    EXPECT_EQ(stats.tlsVersion, 0x0304U);
    EXPECT_EQ(stats.framesSent, kPdus);
    EXPECT_EQ(stats.framesReceived, kPdus);
    EXPECT_EQ(stats.SendDropped(), 0U);
    std::int64_t last = -1;
    std::size_t frames = 0;
    EXPECT_TRUE(ParseConnection(AsBytes(peer.Received(0)), false, last, frames));
    EXPECT_EQ(frames, kPdus);

    client.Destroy();
    ASSERT_TRUE(peer.WaitForEnd(0, kSoon));
    EXPECT_EQ(peer.EndOf(0), TlsEchoServer::CLOSE_NOTIFY);
    EXPECT_EQ(client.Connects(), std::vector<int>{0});
    EXPECT_TRUE(client.Closes().empty());
}

// Two attempts each (the first in SetSocket), then the client gives up;
// PDUs given meanwhile are dropped and counted.
TEST_F(TlsClient, AServerTheClientMustRefuseIsAFailedConnectWithItsCode) {
    TlsEchoServer good(certs->Good(), true);
    TlsEchoServer expired(certs->Expired(), true);
    TlsEchoServer selfSigned(certs->SelfSigned(), true);
    LoopbackServer plain;
    // The plain server greets every connection with a frame.
    std::atomic<bool> done{false};
    std::thread greeter([&] {
        for (std::size_t i = 0; !done.load();) {
            if (plain.WaitForConnection(i, milliseconds(50))) {
                plain.Send(i++, MakeFrame({1, 2, 3}));
            }
        }
    });
    struct Case {
        const char* what;
        unsigned short port;
        std::string serverName;
        int expected;
    };
    const Case cases[] = {
        {"another name", good.Port(), "wrong.invalid", KAVRA_TLS_NAME_MISMATCH},
        {"an expired certificate", expired.Port(), "", KAVRA_TLS_EXPIRED},
        {"an unknown authority", selfSigned.Port(), "", KAVRA_TLS_UNTRUSTED},
        {"a plain TCP server", plain.Port(), "", KAVRA_TLS_NOT_TLS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EventClient client;
        CServerStatus server = Server(c.port, true);
        kavra::TlsOptions tls = server.GetTls();
        tls.SetServerName(c.serverName);
        server.SetTls(tls);
        server.SetGiveUp(2, 0);
        EXPECT_EQ(client.SetSocket(nullptr, 0, &server), 0);
        ASSERT_EQ(client.Create(), 1);
        const Bytes body = Pattern(100, 1);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
        }
        // The worker drops the waiting entries after it gave up; a stop
        // before that would count them as dropped at the stop.
        ASSERT_TRUE(WaitUntil(
            [&] { return client.HasGivenUp() && client.GetStats().SendDropped() == 5; }));
        client.Destroy();
        EXPECT_EQ(client.Connects(), std::vector<int>{c.expected});
        const ConnectionStats stats = client.GetStats();
        EXPECT_EQ(stats.connectFailures, 2U);
        EXPECT_EQ(stats.lastConnectError, static_cast<std::uint64_t>(c.expected));
        EXPECT_EQ(stats.encrypted, 0U);
        EXPECT_EQ(stats.connectionsMade, 0U);
        EXPECT_EQ(stats.sendDroppedDisconnected, 5U);
        EXPECT_TRUE(SendAccountingHolds(stats));
    }
    EXPECT_EQ(good.Connections() + expired.Connections() + selfSigned.Connections(), 0U);
    done.store(true);
    greeter.join();
}

class TlsDamage : public TlsClient,
                  public ::testing::WithParamInterface<std::pair<TlsRelay::Fault, int>> {};

// The damage hits the echo of one PDU: the client drops that connection
// with the fault's code, reconnects, and carries on; nothing it delivers is
// anything but a whole body it sent.
TEST_P(TlsDamage, ClosesWithItsCodeReconnectsAndDeliversOnlyWholeBodies) {
    const auto [fault, expected] = GetParam();
    TlsEchoServer peer(certs->Good(), true);
    TlsRelay relay(peer.Port());
    EventClient client;
    CServerStatus server = Server(relay.Port(), true);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    ASSERT_EQ(client.Create(), 1);
    EchoNumbered(client, 0, 20);

    relay.Inject(fault);
    const Bytes victim = Numbered(20, KavraClientThread::MAX_PDU_LENGTH);
    ASSERT_EQ(client.SendPdu(victim.data(), static_cast<unsigned int>(victim.size())), 0);
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().reconnections == 1 && client.IsConnected(); }));
    EXPECT_EQ(relay.FaultsDone(), 1);
    EXPECT_EQ(client.Closes(), std::vector<int>{expected});
    // The victim's echo, if anything of it came, was never delivered.
    EXPECT_FALSE(TakeBody(client, milliseconds(0)).has_value());
    EchoNumbered(client, 21, 20);
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == 40; }));

    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.connectionsLost, 1U);
    EXPECT_EQ(stats.framesSent, 41U);
    EXPECT_EQ(stats.resyncBytesDiscarded + stats.badHeaders, 0U);
    EXPECT_TRUE(SendAccountingHolds(stats));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TlsDamage,
    ::testing::Values(std::make_pair(TlsRelay::Fault::FlipBit, KAVRA_TLS_BAD_RECORD),
                      std::make_pair(TlsRelay::Fault::ResetMidRecord, ECONNRESET)),
    [](const auto& param) {
        return param.param.first == TlsRelay::Fault::FlipBit ? "FlippedBit" : "ResetMidRecord";
    });

// As over plain TCP: the peer reads nothing for longer than a write may
// wait, then everything. A write that times out with part of a record
// waiting tears the stream, and the client reconnects.
TEST_F(TlsClient, AStalledReaderSeesNoSplicedFrameAndEveryPduIsAccountedFor) {
    TlsEchoServer peer(certs->Good(), false);
    EventClient client;
    CServerStatus server = Server(peer.Port(), true);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    ASSERT_EQ(client.Create(), 1);
    peer.SetReading(false);
    constexpr std::uint32_t kPdus = 4000;
    for (std::uint32_t i = 0; i < kPdus; ++i) {
        const Bytes body = Numbered(i, SizeOf(i));
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
    // The peer reads again once a write has timed out.
    ASSERT_TRUE(
        WaitUntil([&] { return client.GetStats().sendDroppedTimedOut >= 1; },
                  milliseconds(KavraClientThread::SOCKET_IO_TIMEOUT_MS) + Patient(seconds(60))))
        << "the stall never made a write time out";
    peer.SetReading(true);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const ConnectionStats s = client.GetStats();
            return s.sendQueued == 0 && s.sendBuffered == 0 &&
                   s.framesSent + s.SendDropped() == s.pdusAccepted;
        },
        Patient(seconds(60))));
    const ConnectionStats stats = client.GetStats();
    const std::size_t connections = peer.Connections();
    // What the peer has parsed so far of every connection, strictly.
    const auto parseAll = [&](bool report) {
        std::int64_t last = -1;
        std::size_t frames = 0;
        for (std::size_t i = 0; i < connections; ++i) {
            const auto parsed =
                ParseConnection(AsBytes(peer.Received(i)), i + 1 < connections, last, frames);
            if (report) {
                EXPECT_TRUE(parsed) << "connection " << i;
            }
        }
        return frames;
    };
    // Everything the kernel took reaches the peer, which reads to the end.
    EXPECT_TRUE(WaitUntil([&] { return parseAll(false) == stats.framesSent; }, kSoon));
    EXPECT_EQ(parseAll(true), stats.framesSent);
    EXPECT_TRUE(SendAccountingHolds(stats));
    EXPECT_EQ(stats.pdusAccepted, kPdus);
    EXPECT_GE(stats.sendDroppedTimedOut, 1U) << "the stall never made a write time out";
    EXPECT_EQ(stats.outOfStepCloses + 1, connections);
    std::cout << "stalled TLS reader: " << stats.framesSent << " of " << kPdus << " frames sent on "
              << connections << " connections, " << stats.sendDroppedTimedOut << " timed out, "
              << stats.outOfStepCloses << " closed out of step\n";
}

// A server that takes the connection and never answers the handshake, then
// one that reads nothing: neither holds a stop beyond its bound.
TEST_F(TlsClient, AStopIsBoundedInAHangingHandshakeAndAgainstAStalledPeer) {
    LoopbackServer silent;
    EventClient hanging;
    CServerStatus server = Server(silent.Port(), true);
    server.SetConnectTimeoutMs(60'000);
    ASSERT_EQ(hanging.SetSocket(new CSocket(), 1, &server), 0);
    ASSERT_EQ(hanging.Create(), 1);
    ASSERT_TRUE(silent.WaitForConnection(0, kSoon));
    auto start = Clock::now();
    hanging.Destroy();
    EXPECT_LT(Clock::now() - start, Patient(milliseconds(1500)));

    TlsEchoServer stalled(certs->Good(), false);
    stalled.SetReading(false);
    EventClient client;
    server = Server(stalled.Port(), false);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    ASSERT_EQ(client.Create(), 1);
    client.SetLinger(500);
    const Bytes body = Pattern(KavraClientThread::MAX_PDU_LENGTH, 3);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
    start = Clock::now();
    client.Destroy();
    EXPECT_LT(Clock::now() - start, milliseconds(500 + KavraClientThread::SOCKET_IO_TIMEOUT_MS) +
                                        Patient(milliseconds(1500)));
    const ConnectionStats stats = client.GetStats();
    EXPECT_GT(stats.sendDroppedAtStop, 0U);
    EXPECT_TRUE(SendAccountingHolds(stats));
}

} // namespace
} // namespace kavra::test
