// Entries that meet the connection down: they wait only for an attempt due
// within their write budget, are dropped and counted when none comes, are
// never written late, and a stop releases those still waiting once.
#include "ReliabilityUtil.h"
#include "support/Slowdown.h"

#include <kavra/NullPduError.h>
#include <kavra/PduSizeError.h>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <system_error>

namespace kavra::test {
namespace {

constexpr milliseconds kBudget{KavraClientThread::SOCKET_IO_TIMEOUT_MS};
const milliseconds kMargin = Patient(milliseconds(1500));

// Counts the send notifications the worker handles.
class CountingSendClient : public OpenClient {
public:
    ~CountingSendClient() override { Destroy(); }
    int SendCalls() const { return m_calls.load(); }

protected:
    void OnSendQueuePush() override {
        m_calls.fetch_add(1);
        OpenClient::OnSendQueuePush();
    }

private:
    std::atomic<int> m_calls{0};
};

// Connects client to port with a fixed reconnection delay and starts it.
::testing::AssertionResult Start(KavraClientThread& client, unsigned short port,
                                 unsigned int backoffMs) {
    CServerStatus server("127.0.0.1", port);
    server.SetJitter(false);
    server.SetBackoff(backoffMs, backoffMs);
    if (client.SetSocket(nullptr, 0, &server) != 1 || client.Create() != 1) {
        return ::testing::AssertionFailure() << "the client did not connect and start";
    }
    return ::testing::AssertionSuccess();
}

// The peer may read a frame before the worker has counted it: waits until
// every accepted PDU is accounted for and sent frames were written.
::testing::AssertionResult Settled(const KavraClientThread& client, std::uint64_t sent) {
    if (WaitUntil([&] {
            const ConnectionStats s = client.GetStats();
            return s.framesSent == sent && SendAccountingHolds(s);
        })) {
        return ::testing::AssertionSuccess();
    }
    const ConnectionStats s = client.GetStats();
    return ::testing::AssertionFailure() << s.framesSent << " frames sent, not " << sent << "; "
                                         << SendAccountingHolds(s).message();
}

void SendNumbered(KavraClientThread& client, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const Bytes body = Numbered(i, 40);
        ASSERT_EQ(client.SendPdu(body.data(), 40), 0);
    }
}

// The next attempt is due after the budget: the entries are dropped at once,
// and the connection that comes back later carries none of them.
TEST(OutageBudget, AnAttemptBeyondTheBudgetDropsTheEntriesAtOnceAndNoneLate) {
    LoopbackServer srv;
    OpenClient client;
    ASSERT_TRUE(Start(client, srv.Port(), 4000));
    ASSERT_TRUE(srv.WaitForConnection(0, kSoon));
    srv.CloseConnection(0);
    ASSERT_TRUE(WaitUntil([&] { return !client.IsConnected(); }));

    SendNumbered(client, 3);
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().sendDroppedDisconnected == 3; },
                          Patient(milliseconds(1000))));

    ASSERT_TRUE(srv.WaitForConnection(1, milliseconds(4000) + kSoon));
    ASSERT_TRUE(WaitUntil([&] { return client.IsConnected(); }));
    const Bytes marker = Pattern(9, 77);
    ASSERT_EQ(client.SendPdu(marker.data(), 9), 0);
    EXPECT_EQ(ReadFrame(srv, 1), marker);
    EXPECT_TRUE(Settled(client, 1));
    EXPECT_EQ(client.GetStats().sendDroppedDisconnected, 3U);
}

// Attempts within the budget fail: the first entry waits for them and is
// dropped when the next one would come too late; the entries after it are
// dropped without a wait of their own, and none is written once the server
// is back.
TEST(OutageBudget, OnceAnEntryRanOutTheRestDropWithoutWaitingAndNoneLate) {
    auto srv = std::make_unique<LoopbackServer>();
    const unsigned short port = srv->Port();
    OpenClient client;
    ASSERT_TRUE(Start(client, port, 1200));
    ASSERT_TRUE(srv->WaitForConnection(0, kSoon));
    srv.reset();
    ASSERT_TRUE(WaitUntil([&] { return !client.IsConnected(); }));

    const auto start = Clock::now();
    SendNumbered(client, 5);
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().sendDroppedDisconnected == 5; },
                          kBudget + kMargin));
    const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    std::cout << "five entries dropped " << elapsed.count() << " ms after the first was sent\n";
    EXPECT_GE(client.GetStats().connectFailures, 1U) << "the first entry did not wait";
    EXPECT_LT(elapsed, kBudget + kMargin);

    try {
        srv = std::make_unique<LoopbackServer>(port);
    } catch (const std::system_error& e) {
        GTEST_SKIP() << "port " << port << " was taken meanwhile: " << e.what();
    }
    ASSERT_TRUE(srv->WaitForConnection(0, kSoon));
    ASSERT_TRUE(WaitUntil([&] { return client.IsConnected(); }));
    const Bytes marker = Pattern(9, 78);
    ASSERT_EQ(client.SendPdu(marker.data(), 9), 0);
    EXPECT_EQ(ReadFrame(*srv, 0), marker);
    EXPECT_TRUE(Settled(client, 1));
    EXPECT_EQ(client.GetStats().sendDroppedDisconnected, 5U);
}

// Entries still waiting for the attempt when the client stops are released
// by the stop and counted once; the stopped client still checks its
// arguments first; the restart connects at once, and neither those entries
// nor their notifications come back.
TEST(StopWhileEntriesWait, ReleasesThemOnceAndTheRestartNeverWritesThem) {
    LoopbackServer srv;
    CountingSendClient client;
    ASSERT_TRUE(Start(client, srv.Port(), 2500));
    ASSERT_TRUE(srv.WaitForConnection(0, kSoon));
    srv.CloseConnection(0);
    ASSERT_TRUE(WaitUntil([&] { return !client.IsConnected(); }));

    SendNumbered(client, 5);
    ASSERT_TRUE(WaitUntil([&] { return client.SendCalls() == 5; }));
    ASSERT_EQ(client.GetStats().sendQueued, 5U);
    ASSERT_FALSE(client.IsConnected()) << "the attempt came before the stop";
    client.Destroy();
    ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.sendDroppedAtStop, 5U);
    EXPECT_EQ(stats.sendQueued, 0U);
    EXPECT_TRUE(SendAccountingHolds(stats));

    const Bytes body = Pattern(8, 79);
    EXPECT_THROW(client.SendPdu(nullptr, 5), NullPduError);
    EXPECT_THROW(client.SendPdu(body.data(), KavraClientThread::MAX_PDU_LENGTH + 1), PduSizeError);
    EXPECT_EQ(client.SendPdu(body.data(), 8), 1);
    EXPECT_EQ(client.GetStats().sendRefusedStopped, 1U);

    ASSERT_EQ(client.Create(), 1);
    ASSERT_TRUE(srv.WaitForConnection(1, Patient(milliseconds(1000))));
    ASSERT_TRUE(WaitUntil([&] { return client.IsConnected(); }));
    const int callsBefore = client.SendCalls();
    const Bytes first = Pattern(9, 80);
    const Bytes second = Pattern(10, 81);
    ASSERT_EQ(client.SendPdu(first.data(), 9), 0);
    EXPECT_EQ(ReadFrame(srv, 1), first);
    ASSERT_EQ(client.SendPdu(second.data(), 10), 0);
    EXPECT_EQ(ReadFrame(srv, 1), second);
    EXPECT_EQ(client.SendCalls() - callsBefore, 2);
    EXPECT_TRUE(Settled(client, 2));
    EXPECT_EQ(client.GetStats().sendDroppedAtStop, 5U);
}

} // namespace
} // namespace kavra::test
