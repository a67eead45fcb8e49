// Connection health against real peers: the events a derived class sees and
// their order, the idle limit, endpoint rotation, the give-up limit, and
// jitter's range.
#include "ReliabilityUtil.h"
#include "support/Slowdown.h"

#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace kavra::test {
namespace {

// Records the connection events in the order the worker sees them, with
// the connection state as IsConnected shows it at that moment.
class EventClient : public OpenClient {
public:
    ~EventClient() override { Destroy(); }

    std::vector<std::string> Events() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

protected:
    void OnSocketConnect(int error) override {
        record(error == 0 ? "connect" : "connect failed");
        OpenClient::OnSocketConnect(error);
    }
    void OnSocketClose(int error) override {
        record(error == ETIMEDOUT ? "close timed out" : "close");
        OpenClient::OnSocketClose(error);
    }
    void OnSocketReconnect(int attempt) override {
        record("reconnect " + std::to_string(attempt));
        OpenClient::OnSocketReconnect(attempt);
    }

private:
    void record(const std::string& event) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event + (IsConnected() ? " (up)" : " (down)"));
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
};

CServerStatus Quick(unsigned short port) {
    CServerStatus server("127.0.0.1", port);
    server.SetBackoff(20, 40);
    server.SetConnectTimeoutMs(1000);
    return server;
}

TEST(ConnectionEvents, FirstConnectDropFailedAttemptsAndRecoveryInOrder) {
    auto srv = std::make_unique<LoopbackServer>();
    const unsigned short port = srv->Port();
    EventClient client;
    CServerStatus server = Quick(port);
    server.SetJitter(false);
    server.SetBackoff(150, 150);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    EXPECT_TRUE(client.IsConnected());
    ASSERT_EQ(client.Create(), 1);
    ASSERT_TRUE(srv->WaitForConnection(0, kSoon));

    // The server goes away, refuses one attempt, and comes back.
    srv.reset();
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().connectFailures >= 1; }));
    try {
        srv = std::make_unique<LoopbackServer>(port);
    } catch (const std::system_error& e) {
        GTEST_SKIP() << "port " << port << " was taken meanwhile: " << e.what();
    }
    ASSERT_TRUE(WaitUntil([&] { return client.IsConnected(); }));
    client.Destroy();

    const std::vector<std::string> events = client.Events();
    ASSERT_GE(events.size(), 6U);
    EXPECT_EQ(events[0], "connect (up)");
    EXPECT_EQ(events[1], "close (up)");
    EXPECT_EQ(events[2], "reconnect 1 (down)");
    EXPECT_EQ(events[3], "connect failed (down)");
    EXPECT_EQ(events[4], "reconnect 2 (down)");
    EXPECT_EQ(events.back(), "connect (up)");
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.connectionsMade, 2U);
    EXPECT_EQ(stats.connectionsLost, 1U);
    // Each failed attempt is one reconnect event and one failed connect.
    EXPECT_EQ(2 * stats.connectFailures + 4, events.size());
    EXPECT_EQ(stats.reconnections, 1U);
}

TEST(IdleLimit, ASilentPeerCountsAsGoneAndIsReconnected) {
    LoopbackServer srv;
    EventClient client;
    CServerStatus server = Quick(srv.Port());
    const milliseconds limit = kavra::test::Patient(milliseconds(1000));
    server.SetIdleLimitMs(static_cast<unsigned int>(limit.count()));
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    ASSERT_EQ(client.Create(), 1);
    ASSERT_TRUE(srv.WaitForConnection(0, kSoon + limit));
    // Bytes keep the first connection alive past the limit; their gaps are a
    // tenth of it, so a loaded machine does not stretch one past it.
    for (int i = 0; i < 15; ++i) {
        std::this_thread::sleep_for(limit / 10);
        ASSERT_TRUE(srv.Send(0, FrameBytes(Pattern(3, 1))));
    }
    EXPECT_EQ(client.GetStats().connectionsLost, 0U);
    // Then silence.
    ASSERT_TRUE(srv.WaitForConnection(1, kSoon + limit));
    const std::vector<std::string> events = client.Events();
    ASSERT_GE(events.size(), 2U);
    EXPECT_EQ(events[1], "close timed out (up)");
    EXPECT_GE(client.GetStats().connectionsLost, 1U);
}

TEST(ReconnectionPolicy, MovesToTheNextEndpointAndGivesUpWhenTold) {
    unsigned short deadPort = 0;
    {
        LoopbackServer probe;
        deadPort = probe.Port();
    }
    LoopbackServer live;
    {
        OpenClient client;
        CServerStatus server = Quick(deadPort);
        server.AddServer("127.0.0.1", live.Port());
        EXPECT_EQ(client.SetSocket(nullptr, 0, &server), 0);
        ASSERT_EQ(client.Create(), 1);
        EXPECT_TRUE(live.WaitForConnection(0, kSoon));
        EXPECT_TRUE(WaitUntil([&] { return client.IsConnected(); }));
    }

    OpenClient client;
    CServerStatus server = Quick(deadPort);
    server.SetGiveUp(3, 0);
    EXPECT_EQ(client.SetSocket(nullptr, 0, &server), 0);
    ASSERT_EQ(client.Create(), 1);
    ASSERT_TRUE(WaitUntil([&] { return client.HasGivenUp(); }));
    // Sends behave as on a dropped connection: accepted, counted as dropped.
    const Bytes body = Pattern(5, 2);
    ASSERT_EQ(client.SendPdu(body.data(), 5), 0);
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().sendDroppedDisconnected == 1; }));
    // The worker has handled the send since it gave up, and tried no more.
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.connectFailures, 3U);
    EXPECT_TRUE(stats.gaveUp);
    EXPECT_FALSE(stats.connected);
}

TEST(ReconnectionPolicy, JitterDrawsFromTheLowerHalfUpToTheNominalDelay) {
    CServerStatus server;
    server.SetBackoff(100, 5000);
    for (int attempt = 1; attempt <= 8; ++attempt) {
        const unsigned int nominal = server.DelayForAttempt(attempt);
        unsigned int lowest = nominal;
        unsigned int highest = 0;
        for (std::uint32_t r = 0; r < 20'000; ++r) {
            const unsigned int delay = server.DelayForAttempt(attempt, r * 2654435761U);
            lowest = std::min(lowest, delay);
            highest = std::max(highest, delay);
        }
        EXPECT_EQ(lowest, nominal / 2) << "attempt " << attempt;
        EXPECT_EQ(highest, nominal) << "attempt " << attempt;
    }
    server.SetJitter(false);
    EXPECT_EQ(server.DelayForAttempt(3, 12345U), server.DelayForAttempt(3));
}

} // namespace
} // namespace kavra::test
