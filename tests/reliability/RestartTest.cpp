// Stop and restart under load: however a stop falls against the start, the
// lingering writes and a due reconnection attempt, the next start connects
// again, and what reaches the peer is whole frames in each sender's order.
#include "ReliabilityUtil.h"
#include "support/Slowdown.h"

#include <gtest/gtest.h>

#include <array>
#include <iostream>
#include <thread>

namespace kavra::test {
namespace {

constexpr unsigned int kSenders = 8;
constexpr std::size_t kBody = 16;

// Sender t's n-th body: its number in the first byte, n in the next four.
Bytes SenderBody(unsigned int t, std::uint32_t n) {
    Bytes body = Pattern(kBody, t);
    body[0] = static_cast<unsigned char>(t);
    for (std::size_t i = 0; i < 4; ++i) {
        body[1 + i] = static_cast<unsigned char>(n >> (24 - 8 * i));
    }
    return body;
}

// Parses what one connection carried: whole frames of sender bodies, each
// sender's later than the one before it on any connection (a connection the
// client closed may end inside a frame). Returns the frames it held.
::testing::AssertionResult ParseSenders(const Bytes& wire, std::array<std::int64_t, kSenders>& last,
                                        std::size_t& frames) {
    const std::size_t frame = kHeader + kBody;
    for (std::size_t pos = 0; pos + frame <= wire.size(); pos += frame, ++frames) {
        const auto at = wire.begin() + static_cast<std::ptrdiff_t>(pos);
        if (!std::equal(at, at + static_cast<std::ptrdiff_t>(kHeader),
                        HeaderBytes(kBody).begin())) {
            return ::testing::AssertionFailure() << "no frame header at byte " << pos;
        }
        const unsigned char* body = wire.data() + pos + kHeader;
        const unsigned int t = body[0];
        const std::uint32_t n = ReadBigEndian(body + 1);
        if (t >= kSenders || Bytes(body, body + kBody) != SenderBody(t, n)) {
            return ::testing::AssertionFailure() << "a body no sender sent at byte " << pos;
        }
        if (static_cast<std::int64_t>(n) <= last[t]) {
            return ::testing::AssertionFailure()
                   << "sender " << t << ": body " << n << " after " << last[t];
        }
        last[t] = n;
    }
    return ::testing::AssertionSuccess();
}

// Eight threads send without pause while the client is stopped and started
// twenty times; every other stop comes within 2 ms of the start, while the
// first attempt of the run is due and the senders' entries linger. Every
// start that is left to run connects within the bound.
TEST(RestartUnderSenders, EveryRestartConnectsAgainAndTheWireKeepsEachSendersOrder) {
    LoopbackServer srv;
    OpenClient client;
    client.SetLinger(100);
    client.SetSendQueueLimit(2000);
    ASSERT_TRUE(StartClient(client, srv, true));

    std::atomic<bool> done{false};
    std::vector<std::thread> senders;
    for (unsigned int t = 0; t < kSenders; ++t) {
        senders.emplace_back([&, t] {
            for (std::uint32_t n = 0; !done.load(); ++n) {
                const Bytes body = SenderBody(t, n);
                client.SendPdu(body.data(), kBody);
            }
        });
    }
    std::vector<Bytes> wire;
    std::thread reader([&] {
        for (std::size_t index = 0; !done.load();) {
            if (!srv.WaitForConnection(index, milliseconds(50))) {
                continue;
            }
            wire.resize(std::max(wire.size(), index + 1));
            const Bytes more = srv.ReceiveUntilQuiet(index, milliseconds(20), milliseconds(200));
            wire[index].insert(wire[index].end(), more.begin(), more.end());
            if (more.empty() && srv.WaitForConnection(index + 1, milliseconds(20))) {
                ++index;
            }
        }
    });

    int failedRestarts = 0;
    for (int round = 0; round < 20; ++round) {
        client.Destroy();
        const std::uint64_t made = client.GetConnectionsMade();
        ASSERT_EQ(client.Create(), 1);
        if (round % 2 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 5)));
            continue;
        }
        if (!WaitUntil([&] { return client.GetConnectionsMade() > made; },
                       Patient(milliseconds(2000)))) {
            ++failedRestarts;
            ADD_FAILURE() << "start " << round << " made no connection";
        }
    }
    client.Destroy();
    done.store(true);
    for (std::thread& sender : senders) {
        sender.join();
    }
    reader.join();

    const ConnectionStats stats = client.GetStats();
    std::cout << "restarts: " << stats.connectionsMade << " connections, " << failedRestarts
              << " starts without one, " << stats.framesSent << " frames sent, "
              << stats.sendDroppedAtStop << " dropped at a stop\n";
    EXPECT_TRUE(SendAccountingHolds(stats));
    EXPECT_EQ(stats.sendQueued, 0U);
    EXPECT_FALSE(client.HasGivenUp());
    std::array<std::int64_t, kSenders> last{};
    last.fill(-1);
    std::size_t frames = 0;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        EXPECT_TRUE(ParseSenders(wire[i], last, frames)) << "connection " << i;
    }
    EXPECT_LE(frames, stats.framesSent);
}

// The peer resets the connection while the stop's linger writes to it: the
// drop during the stop leaves its attempt to the next start, which connects.
TEST(RestartAfterADropInTheLinger, TheNextStartConnectsAgain) {
    LoopbackServer srv;
    OpenClient client;
    client.SetLinger(static_cast<unsigned int>(Patient(milliseconds(20'000)).count()));
    ASSERT_TRUE(StartClient(client, srv, true));
    const Bytes body = Pattern(KavraClientThread::MAX_PDU_LENGTH, 5);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(client.SendPdu(body.data(), KavraClientThread::MAX_PDU_LENGTH), 0);
    }
    // The peer reads nothing: once both buffers are full the writes wait.
    std::uint64_t sent = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const std::uint64_t now = client.GetStats().framesSent;
        const bool still = now == sent && now > 0;
        sent = now;
        std::this_thread::sleep_for(milliseconds(100));
        return still;
    }));
    std::thread stopper([&] { client.Destroy(); });
    ASSERT_TRUE(WaitUntil([&] { return client.SendPdu(body.data(), 8) == 1; }));
    srv.ResetConnection(0);
    stopper.join();
    if (client.GetStats().connectionsLost != 1) {
        GTEST_SKIP() << "the linger ended before the reset";
    }

    const std::uint64_t made = client.GetConnectionsMade();
    ASSERT_EQ(client.Create(), 1);
    EXPECT_TRUE(
        WaitUntil([&] { return client.GetConnectionsMade() > made; }, Patient(milliseconds(2000))));
    EXPECT_TRUE(srv.WaitForConnection(1, kSoon));
    client.Destroy();
    EXPECT_TRUE(SendAccountingHolds(client.GetStats()));
}

} // namespace
} // namespace kavra::test
