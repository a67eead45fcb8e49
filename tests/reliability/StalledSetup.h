// A connect attempt that never ends by itself (SYNs unanswered, a handshake
// the peer never answers) while the client is told to send and stop: the
// worker keeps settling, reporting and stopping as if no attempt were under
// way. Shared by the plain test in a network namespace (Posix) and the TLS
// test against a silent listener.
#pragma once

#include "reliability/ReliabilityUtil.h"

#include <gtest/gtest.h>
#include <kavra/base/CSocket.h>

#include <atomic>
#include <iostream>

namespace kavra::test {

// Counts the attempts the worker began.
class AttemptCountingClient : public OpenClient {
public:
    ~AttemptCountingClient() override { Destroy(); }
    int Attempts() const { return m_attempts.load(); }

protected:
    void OnSocketReconnect(int attempt) override {
        OpenClient::OnSocketReconnect(attempt);
        m_attempts.fetch_add(1);
    }

private:
    std::atomic<int> m_attempts{0};
};

// How long fn took.
template <typename Fn> milliseconds Timed(Fn fn) {
    const auto start = Clock::now();
    fn();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// server's attempts hang for far longer than the test (its connect timeout
// is 60 s): sends answer at once and are settled within their write budget,
// statistics answer at once, and Destroy returns promptly.
inline void CheckStalledAttempt(CServerStatus server) {
    const milliseconds atOnce = Patient(milliseconds(50));
    const milliseconds budget{KavraClientThread::SOCKET_IO_TIMEOUT_MS};
    server.SetJitter(false);
    server.SetBackoff(10, 10);
    server.SetConnectTimeoutMs(60000);
    AttemptCountingClient client;
    // Not connected: the first attempt is the worker's own.
    ASSERT_EQ(client.SetSocket(new CSocket(), 1, &server), 0);
    ASSERT_EQ(client.Create(), 1);
    ASSERT_TRUE(WaitUntil([&] { return client.Attempts() >= 1; }));

    constexpr std::uint32_t kPdus = 5;
    for (std::uint32_t i = 0; i < kPdus; ++i) {
        const Bytes body = Numbered(i, 40);
        EXPECT_LE(Timed([&] { EXPECT_EQ(client.SendPdu(body.data(), 40), 0); }), atOnce);
        EXPECT_LE(Timed([&] { static_cast<void>(client.GetStats()); }), atOnce);
    }
    // The attempt is still under way: the entries are dropped when their
    // budget ends, not when the attempt does.
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().sendDroppedDisconnected == kPdus; },
                          budget + Patient(milliseconds(1000))));
    EXPECT_EQ(client.GetStats().connectFailures, 0U) << "the attempt ended by itself";
    EXPECT_TRUE(SendAccountingHolds(client.GetStats()));

    const milliseconds stop = Timed([&] { client.Destroy(); });
    EXPECT_LE(stop, Patient(milliseconds(200)));
    EXPECT_EQ(client.Attempts(), 1);
    std::cout << "stalled attempt: stop took " << stop.count() << " ms\n";
}

} // namespace kavra::test
