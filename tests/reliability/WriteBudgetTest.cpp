// A write keeps the worker for at most one write timeout, also when its
// entry first waits for a reconnection: against a peer that goes down,
// comes back late (its listener's queue is full, so the attempt hangs until
// it makes room) and then reads only after a pause. No handler runs inside
// another meanwhile, no frame is spliced and every PDU is accounted for.
#include "ReliabilityUtil.h"

#include <gtest/gtest.h>

#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace kavra::test {
namespace {

constexpr milliseconds kWriteTimeout{KavraClientThread::SOCKET_IO_TIMEOUT_MS};
// Scheduling noise on a loaded two-core machine.
constexpr milliseconds kMargin{1500};

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
        const Scope scope(*this, "send");
        OpenClient::OnSendQueuePush();
    }
    void OnSocketReceive(int readable) override {
        const Scope scope(*this, "receive");
        OpenClient::OnSocketReceive(readable);
    }
    void OnSocketConnect(int error) override {
        const Scope scope(*this, "connect");
        OpenClient::OnSocketConnect(error);
    }
    void OnSocketClose(int error) override {
        const Scope scope(*this, "close");
        OpenClient::OnSocketClose(error);
    }
    void OnSocketReconnect(int attempt) override {
        const Scope scope(*this, "reconnect");
        OpenClient::OnSocketReconnect(attempt);
    }

private:
    static unsigned int nowMs() {
        static const Clock::time_point start = Clock::now();
        return static_cast<unsigned int>(
            std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
    }
    // Marks a handler as running on the worker for its lifetime.
    class Scope {
    public:
        Scope(WatchedClient& client, const char* name)
            : m_client(client), m_outer(client.m_current) {
            if (m_outer != nullptr) {
                const std::lock_guard<std::mutex> lock(client.m_mutex);
                client.m_nested.insert(std::string(m_outer) + " > " + name);
            }
            client.m_current = name;
        }
        ~Scope() { m_client.m_current = m_outer; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        WatchedClient& m_client;
        const char* m_outer;
    };

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

Bytes Numbered(std::uint32_t number) {
    Bytes body = Pattern(KavraClientThread::MAX_PDU_LENGTH, number);
    for (std::size_t i = 0; i < 4; ++i) {
        body[i] = static_cast<unsigned char>(number >> (24 - 8 * i));
    }
    return body;
}

// Whole frames of ever later PDUs; only a connection the client closed may
// end inside one. Counts them into frames.
::testing::AssertionResult WholeFramesInOrder(const Bytes& wire, bool mayEndTorn,
                                              std::int64_t& last, std::size_t& frames) {
    const std::size_t frameSize = KavraHeader::HEADER_LENGTH + KavraClientThread::MAX_PDU_LENGTH;
    std::size_t pos = 0;
    for (; wire.size() - pos >= frameSize; pos += frameSize, ++frames) {
        const Bytes frame(wire.begin() + static_cast<std::ptrdiff_t>(pos),
                          wire.begin() + static_cast<std::ptrdiff_t>(pos + frameSize));
        const std::uint32_t number = ReadBigEndian(frame.data() + KavraHeader::HEADER_LENGTH);
        if (static_cast<std::int64_t>(number) <= last || frame != FrameBytes(Numbered(number))) {
            return ::testing::AssertionFailure() << "no whole later frame at byte " << pos;
        }
        last = number;
    }
    if (pos != wire.size() && !mayEndTorn) {
        return ::testing::AssertionFailure() << "an open connection ends inside a frame";
    }
    return ::testing::AssertionSuccess();
}

TEST(WriteBudget, APeerThatComesBackLateNeverHoldsTheWorkerLongerThanAWrite) {
    // More than the socket buffers of both ends hold, so the peer's pause
    // stops a write.
    constexpr std::uint32_t kPdus = 1000;
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
    for (std::uint32_t i = 0; i < kPdus; ++i) {
        const Bytes body = Numbered(i);
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
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
    for (const auto deadline = Clock::now() + std::chrono::seconds(60); Clock::now() < deadline;) {
        const Bytes more = ReadUntilQuiet(peers.back(), milliseconds(500));
        wire.back().insert(wire.back().end(), more.begin(), more.end());
        const net::Handle next = AcceptWithin(listener, milliseconds(0));
        if (next != net::INVALID_HANDLE) {
            peers.push_back(next);
            wire.emplace_back();
        } else if (more.empty() && client.GetStats().sendQueued == 0 &&
                   client.GetStats().sendBuffered == 0) {
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
    const ConnectionStats s = client.GetStats();
    EXPECT_EQ(s.sendQueued, 0U);
    EXPECT_EQ(s.pdusAccepted, s.framesSent + s.SendDropped() + s.sendBuffered);
    std::int64_t last = -1;
    std::size_t frames = 0;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        EXPECT_TRUE(WholeFramesInOrder(wire[i], i + 1 < wire.size(), last, frames)) << i;
    }
    EXPECT_LE(frames, s.framesSent);
}

} // namespace
} // namespace kavra::test
