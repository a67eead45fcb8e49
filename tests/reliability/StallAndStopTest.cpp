// Peers that stop reading: what reaches them is whole frames of PDUs the
// client was given, in order, every PDU is accounted for, a stop ends in
// bounded time whatever the peer does, and no write keeps the worker longer
// than its timeout.
#include "ReliabilityUtil.h"
#include "support/Slowdown.h"

#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace kavra::test {
namespace {

using std::chrono::seconds;

constexpr milliseconds kWriteTimeout{KavraClientThread::SOCKET_IO_TIMEOUT_MS};
// Scheduling noise on a loaded two-core machine.
const milliseconds kMargin = Patient(milliseconds(1500));

// Queues more than the socket buffers of both ends take, in large frames
// and in small ones that the socket holds back and writes together.
constexpr std::uint32_t kStallPdus = 4000;

void QueueNumbered(KavraClientThread& client) {
    for (std::uint32_t i = 0; i < kStallPdus; ++i) {
        const Bytes body = Numbered(i, SizeOf(i));
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
}

// Whether every accepted PDU has been written or dropped.
bool Settled(const KavraClientThread& client) {
    const ConnectionStats s = client.GetStats();
    return s.sendQueued == 0 && s.sendBuffered == 0 &&
           s.framesSent + s.SendDropped() == s.pdusAccepted;
}

// Reads every connection from first on, until the client has nothing left
// and the last connection holds nothing more. One entry per connection. The
// client counts a write once it has returned, so a read that starts after
// the client settled finds every byte already there.
std::vector<Bytes> ReadToTheEnd(LoopbackServer& srv, KavraClientThread& client,
                                std::size_t first) {
    std::vector<Bytes> wire(1);
    std::size_t index = first;
    const auto deadline = Clock::now() + Patient(seconds(60));
    while (Clock::now() < deadline) {
        const bool settled = Settled(client);
        const Bytes more = srv.ReceiveUntilQuiet(index, Patient(milliseconds(200)), Patient(seconds(2)));
        wire.back().insert(wire.back().end(), more.begin(), more.end());
        if (!more.empty()) {
            continue;
        }
        if (srv.ConnectionCount() > index + 1) {
            ++index;
            wire.emplace_back();
            continue;
        }
        if (settled) {
            break;
        }
    }
    return wire;
}

std::size_t ParseAll(const std::vector<Bytes>& wire) {
    std::int64_t lastNumber = -1;
    std::size_t frames = 0;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        EXPECT_TRUE(ParseConnection(wire[i], i + 1 < wire.size(), lastNumber, frames))
            << "connection " << i;
    }
    return frames;
}

TEST(StalledReader, NoFrameIsSplicedAndEveryPduIsAccountedFor) {
    LoopbackServer srv;
    OpenClient client;
    ASSERT_TRUE(StartClient(client, srv, true));
    QueueNumbered(client);
    // The peer reads nothing until a write has timed out, then reads
    // everything.
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().sendDroppedTimedOut >= 1; },
                          kWriteTimeout + Patient(seconds(60))))
        << "the stall never made a write time out";
    const std::vector<Bytes> wire = ReadToTheEnd(srv, client, 0);

    const std::size_t frames = ParseAll(wire);
    const ConnectionStats stats = client.GetStats();
    EXPECT_TRUE(SendAccountingHolds(stats));
    EXPECT_EQ(stats.pdusAccepted, kStallPdus);
    // Everything the kernel took reached the peer, which read to the end.
    EXPECT_EQ(frames, stats.framesSent);
    EXPECT_GE(stats.sendDroppedTimedOut, 1U) << "the stall never made a write time out";
    EXPECT_EQ(stats.outOfStepCloses + 1, wire.size());
    std::cout << "stalled reader: " << frames << " of " << kStallPdus << " frames whole on "
              << wire.size() << " connections, " << stats.sendDroppedTimedOut << " timed out, "
              << stats.sendDroppedDisconnected << " while disconnected, " << stats.outOfStepCloses
              << " connections closed out of step\n";
}

TEST(StalledReader, ResetWhileWritesWaitLosesOnlyCountedPdus) {
    LoopbackServer srv;
    OpenClient client;
    ASSERT_TRUE(StartClient(client, srv, true));
    QueueNumbered(client);
    // The peer gives up on the connection while a write waits on it: once
    // the buffers are full, before the write's own time runs out.
    std::uint64_t sent = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const std::uint64_t now = client.GetStats().framesSent;
        const bool still = now == sent && now > 0;
        sent = now;
        // Short beside the write timeout, which must not run out first.
        std::this_thread::sleep_for(milliseconds(100));
        return still;
    }));
    srv.ResetConnection(0);
    ASSERT_TRUE(srv.WaitForConnection(1, kSoon));
    const std::vector<Bytes> wire = ReadToTheEnd(srv, client, 1);

    const std::size_t frames = ParseAll(wire);
    const ConnectionStats stats = client.GetStats();
    EXPECT_TRUE(SendAccountingHolds(stats));
    EXPECT_EQ(stats.pdusAccepted, kStallPdus);
    EXPECT_GE(stats.sendDroppedConnectionFailed, 1U);
    // The reset took whatever the first connection's buffers held.
    EXPECT_LE(frames, stats.framesSent);
}

struct StopCase {
    unsigned int queued;
    std::size_t bodySize;
    unsigned int lingerMs;
    bool viaDestructor;
};

class StopWithUnreadPeer : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopWithUnreadPeer, ReturnsWithinLingerAndOneWriteTimeoutAndCountsTheRest) {
    const StopCase c = GetParam();
    LoopbackServer srv;
    auto client = std::make_unique<OpenClient>();
    ASSERT_TRUE(StartClient(*client, srv));
    client->SetLinger(c.lingerMs);
    const Bytes body = Pattern(c.bodySize, 7);
    for (unsigned int i = 0; i < c.queued; ++i) {
        ASSERT_EQ(client->SendPdu(body.data(), static_cast<unsigned int>(c.bodySize)), 0);
    }

    ConnectionStats stats;
    const auto start = Clock::now();
    if (c.viaDestructor) {
        client.reset();
    } else {
        client->Destroy();
    }
    const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    if (client) {
        stats = client->GetStats();
    }
    std::cout << "stop with " << c.queued << " x " << c.bodySize << " B queued, linger "
              << c.lingerMs << " ms, peer not reading: " << elapsed.count() << " ms\n";
    EXPECT_LT(elapsed, milliseconds(c.lingerMs) + kWriteTimeout + kMargin);
    if (!client) {
        return;
    }
    EXPECT_TRUE(SendAccountingHolds(stats));
    EXPECT_EQ(stats.sendQueued, 0U);
    EXPECT_EQ(stats.pdusAccepted, c.queued);
    if (c.queued * (c.bodySize + 14) < 128 * 1024) {
        // What the socket buffers take is never dropped at the stop.
        EXPECT_EQ(stats.framesSent, c.queued);
    } else {
        EXPECT_GT(stats.sendDroppedAtStop, 0U);
    }
}

INSTANTIATE_TEST_SUITE_P(Queues, StopWithUnreadPeer,
                         ::testing::Values(StopCase{10, 8812, 3000, false},
                                           StopCase{1000, 8812, 3000, false},
                                           StopCase{1000, 8812, 0, false},
                                           StopCase{1000, 8812, 500, true},
                                           StopCase{100000, 1024, 3000, false}));

TEST(StopWithHealthyPeer, EverythingQueuedBeforeTheStopArrives) {
    LoopbackServer srv;
    OpenClient client;
    ASSERT_TRUE(StartClient(client, srv));
    // A linger no slow machine runs out of: all of it must arrive.
    client.SetLinger(static_cast<unsigned int>(Patient(milliseconds(20'000)).count()));
    constexpr std::uint32_t kPdus = 2000;
    Bytes received;
    // The peer reads until the client's close.
    std::thread reader(
        [&] { received = srv.ReceiveUntilQuiet(0, Patient(seconds(40)), Patient(seconds(40))); });
    for (std::uint32_t i = 0; i < kPdus; ++i) {
        const Bytes body = Numbered(i, SizeOf(i));
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
    client.Destroy();
    reader.join();
    EXPECT_TRUE(srv.WaitForClientClose(0, kSoon));
    std::int64_t last = -1;
    std::size_t frames = 0;
    EXPECT_TRUE(ParseConnection(received, false, last, frames));
    EXPECT_EQ(frames, kPdus);
    EXPECT_EQ(client.GetStats().SendDropped(), 0U);
}

// A reconnection attempt that hangs (the listener's queue is full, so its
// SYN goes unanswered) does not hold up the stop, however long the connect
// timeout.
TEST(StopDuringConnect, ReturnsSoonWhileAConnectAttemptHangs) {
    int error = 0;
    const net::Handle listener = net::ListenLoopback(net::Family::Ipv4, 0, 0, false, error);
    ASSERT_NE(listener, net::INVALID_HANDLE) << error;
    const unsigned short port = net::LocalPort(listener);
    const net::Handle queued = net::ConnectLoopback(port);
    ASSERT_NE(queued, net::INVALID_HANDLE);

    OpenClient client;
    CServerStatus server("127.0.0.1", port);
    server.SetConnectTimeoutMs(60'000);
    server.SetBackoff(10, 10);
    client.SetSocket(new CSocket(), 1, &server);
    ASSERT_EQ(client.Create(), 1);
    std::this_thread::sleep_for(Patient(milliseconds(300)));
    const bool hanging = client.GetStats().reconnections == 0;

    const auto start = Clock::now();
    client.Destroy();
    const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    net::Close(queued);
    net::Close(listener);
    if (!hanging) {
        GTEST_SKIP() << "this system completed the connect to a full listener queue";
    }
    EXPECT_LT(elapsed, milliseconds(200) + kMargin);
}

// Measures how long posted probes wait for the worker (the longest wait is
// the longest time the worker was away from its loop) and records every
// handler that runs inside another one.
class WatchedClient : public OpenClient {
public:
    static constexpr unsigned int MSG_PROBE = 5100;
    ~WatchedClient() override { Destroy(); }

    void Probe() { PostMessageA(MSG_PROBE, nowMs(), 0); }
    milliseconds LongestBlock() const { return milliseconds(m_longestMs.load()); }
    std::set<std::string> Nested() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_nested;
    }

protected:
    long DispatchMessageA(const MSG* msg) override {
        if (msg->message != MSG_PROBE) {
            return OpenClient::DispatchMessageA(msg);
        }
        const unsigned int waited = nowMs() - static_cast<unsigned int>(msg->wParam);
        m_longestMs.store(std::max(m_longestMs.load(), waited));
        return 1;
    }
    void OnSendQueuePush() override {
        watched("send", [this] { OpenClient::OnSendQueuePush(); });
    }
    void OnSocketReceive(int readable) override {
        watched("receive", [&] { OpenClient::OnSocketReceive(readable); });
    }
    void OnSocketConnect(int error) override {
        watched("connect", [&] { OpenClient::OnSocketConnect(error); });
    }
    void OnSocketClose(int error) override {
        watched("close", [&] { OpenClient::OnSocketClose(error); });
    }
    void OnSocketReconnect(int attempt) override {
        watched("reconnect", [&] { OpenClient::OnSocketReconnect(attempt); });
    }

private:
    static unsigned int nowMs() {
        static const Clock::time_point start = Clock::now();
        return static_cast<unsigned int>(
            std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
    }
    // Runs a handler, noting the one it runs inside, if any.
    template <typename Handler> void watched(const char* name, Handler&& handler) {
        const char* outer = m_current;
        if (outer != nullptr) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_nested.insert(std::string(outer) + " > " + name);
        }
        m_current = name;
        handler();
        m_current = outer;
    }

    const char* m_current = nullptr; // worker thread only
    std::atomic<unsigned int> m_longestMs{0};
    mutable std::mutex m_mutex;
    std::set<std::string> m_nested;
};

net::Handle AcceptWithin(net::Handle listener, milliseconds timeout) {
    if (net::WaitReadable(listener, static_cast<int>(timeout.count())) != 1) {
        return net::INVALID_HANDLE;
    }
    return net::Accept(listener, false);
}

Bytes ReadUntilQuiet(net::Handle handle, milliseconds quiet) {
    Bytes all;
    std::vector<unsigned char> chunk(64 * 1024);
    int error = 0;
    long got = 0;
    while (net::WaitReadable(handle, static_cast<int>(quiet.count())) == 1 &&
           (got = net::Recv(handle, chunk.data(), chunk.size(), error)) > 0) {
        all.insert(all.end(), chunk.begin(), chunk.begin() + got);
    }
    return all;
}

// A write keeps the worker for at most one write timeout, also when its
// entry first waits for a reconnection: against a peer that goes down,
// comes back late (its listener's queue is full, so the attempt hangs until
// it makes room) and then reads only after a pause. No handler runs inside
// another meanwhile, no frame is spliced and every PDU is accounted for.
TEST(WriteBudget, APeerThatComesBackLateNeverHoldsTheWorkerLongerThanAWrite) {
    int error = 0;
    const net::Handle listener = net::ListenLoopback(net::Family::Ipv4, 0, 0, false, error);
    ASSERT_NE(listener, net::INVALID_HANDLE) << error;
    const unsigned short port = net::LocalPort(listener);
    WatchedClient client;
    CServerStatus server("127.0.0.1", port);
    server.SetJitter(false);
    server.SetBackoff(2800, 2800);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    std::vector<net::Handle> peers{AcceptWithin(listener, kSoon)};
    ASSERT_NE(peers[0], net::INVALID_HANDLE);
    ASSERT_EQ(client.Create(), 1);
    // The listener's queue holds one connection: with this one in it, the
    // client's next attempt goes unanswered.
    const net::Handle filler = net::ConnectLoopback(port);
    ASSERT_NE(filler, net::INVALID_HANDLE);
    std::atomic<bool> probing{true};
    std::thread prober([&] {
        for (; probing.load(); std::this_thread::sleep_for(milliseconds(10))) {
            client.Probe();
        }
    });

    net::Close(peers[0]);
    ASSERT_TRUE(WaitUntil([&] { return !client.IsConnected(); }));
    const Clock::time_point down = Clock::now();
    QueueNumbered(client);
    // The attempt is due 2.8 s after the drop; a moment into it the peer
    // makes room, and the attempt's next SYN, a second after its first,
    // gets through: too late for the entry that waited.
    std::this_thread::sleep_until(down + milliseconds(3100));
    const bool hanging = client.GetStats().connectFailures == 0 && !client.IsConnected();
    net::Close(AcceptWithin(listener, kSoon));
    net::Close(filler);
    peers[0] = AcceptWithin(listener, kSoon);
    ASSERT_NE(peers[0], net::INVALID_HANDLE);
    std::this_thread::sleep_for(milliseconds(1500));

    // Read every connection until the client has nothing left; a write cut
    // short would have led to another one.
    std::vector<Bytes> wire(1);
    for (const auto deadline = Clock::now() + Patient(seconds(60)); Clock::now() < deadline;) {
        const bool settled = Settled(client);
        const Bytes more = ReadUntilQuiet(peers.back(), Patient(milliseconds(500)));
        wire.back().insert(wire.back().end(), more.begin(), more.end());
        const net::Handle next = AcceptWithin(listener, milliseconds(0));
        if (next != net::INVALID_HANDLE) {
            peers.push_back(next);
            wire.emplace_back();
        } else if (more.empty() && settled) {
            break;
        }
    }
    probing.store(false);
    prober.join();
    for (const net::Handle peer : peers) {
        net::Close(peer);
    }
    net::Close(listener);
    if (!hanging) {
        GTEST_SKIP() << "this system answered the attempt to a full listener queue";
    }

    std::cout << "write budget: the worker was away from its loop for at most "
              << client.LongestBlock().count() << " ms\n";
    EXPECT_LT(client.LongestBlock(), kWriteTimeout + kMargin);
    for (const std::string& nested : client.Nested()) {
        EXPECT_EQ(nested, "reconnect > connect") << "a handler ran inside another one";
    }
    const ConnectionStats stats = client.GetStats();
    EXPECT_TRUE(SendAccountingHolds(stats));
    EXPECT_EQ(stats.sendQueued, 0U);
    EXPECT_LE(ParseAll(wire), stats.framesSent);
}

} // namespace
} // namespace kavra::test
