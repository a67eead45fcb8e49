// Peers that stop reading: what reaches them is whole frames of PDUs the
// client was given, in order, every PDU is accounted for, and a stop ends in
// bounded time whatever the peer does.
#include "ReliabilityUtil.h"
#include "support/Slowdown.h"

#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <thread>

namespace kavra::test {
namespace {

using std::chrono::seconds;

constexpr milliseconds kWriteTimeout{KavraClientThread::SOCKET_IO_TIMEOUT_MS};
// Scheduling noise on a loaded two-core machine.
const milliseconds kMargin = Patient(milliseconds(1500));

// A body that names its PDU in its first four bytes.
Bytes Numbered(std::uint32_t number, std::size_t size) {
    Bytes body = Pattern(size, number);
    for (std::size_t i = 0; i < 4 && i < size; ++i) {
        body[i] = static_cast<unsigned char>(number >> (24 - 8 * i));
    }
    return body;
}

constexpr auto kHeader = static_cast<std::size_t>(KavraHeader::HEADER_LENGTH);

std::size_t SizeOf(std::uint32_t number) {
    return number % 3 == 2 ? 4 + number % 200 : KavraClientThread::MAX_PDU_LENGTH;
}

// Parses one connection's bytes strictly: frame after frame, each the next
// numbered PDU or a later one. Only a connection the client closed may end
// inside a frame. Returns how many frames it held.
::testing::AssertionResult ParseConnection(const Bytes& wire, bool mayEndTorn,
                                           std::int64_t& lastNumber, std::size_t& frames) {
    std::size_t pos = 0;
    while (pos < wire.size()) {
        if (wire.size() - pos < kHeader) {
            break;
        }
        const Bytes header(wire.begin() + static_cast<std::ptrdiff_t>(pos),
                           wire.begin() + static_cast<std::ptrdiff_t>(pos + kHeader));
        const auto length = static_cast<std::uint32_t>(KavraHeader::DecodeBodyLength(header.data()));
        if (header != HeaderBytes(length) || length < 4 ||
            length > KavraClientThread::MAX_PDU_LENGTH) {
            return ::testing::AssertionFailure() << "no frame header at byte " << pos;
        }
        if (wire.size() - pos - kHeader < length) {
            break;
        }
        const Bytes body(wire.begin() + static_cast<std::ptrdiff_t>(pos + kHeader),
                         wire.begin() + static_cast<std::ptrdiff_t>(pos + kHeader + length));
        const std::uint32_t number = ReadBigEndian(body.data());
        if (static_cast<std::int64_t>(number) <= lastNumber || body != Numbered(number, SizeOf(number))) {
            return ::testing::AssertionFailure()
                   << "frame at byte " << pos << " is not the whole body of a later PDU";
        }
        lastNumber = number;
        ++frames;
        pos += kHeader + length;
    }
    if (pos != wire.size() && !mayEndTorn) {
        return ::testing::AssertionFailure() << "an open connection ends inside a frame";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult SendAccountingHolds(const ConnectionStats& s) {
    if (s.pdusAccepted == s.framesSent + s.SendDropped() + s.sendQueued + s.sendBuffered) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << s.pdusAccepted << " accepted != " << s.framesSent << " sent + " << s.SendDropped()
           << " dropped + " << s.sendQueued << " queued + " << s.sendBuffered << " buffered";
}

// Queues more than the socket buffers of both ends take, in large frames
// and in small ones that the socket holds back and writes together.
constexpr std::uint32_t kStallPdus = 4000;

void QueueNumbered(KavraClientThread& client) {
    for (std::uint32_t i = 0; i < kStallPdus; ++i) {
        const Bytes body = Numbered(i, SizeOf(i));
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
}

// Reads every connection from first on, until the client has nothing left
// and the last connection stays quiet. One entry per connection.
std::vector<Bytes> ReadToTheEnd(LoopbackServer& srv, KavraClientThread& client,
                                std::size_t first) {
    std::vector<Bytes> wire(1);
    std::size_t index = first;
    const auto deadline = Clock::now() + Patient(seconds(60));
    while (Clock::now() < deadline) {
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
        const ConnectionStats s = client.GetStats();
        if (s.sendQueued == 0 && s.sendBuffered == 0 &&
            s.framesSent + s.SendDropped() == s.pdusAccepted) {
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
    // The peer reads nothing for longer than a write may wait, then reads
    // everything.
    std::this_thread::sleep_for(kWriteTimeout + seconds(1));
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
    std::this_thread::sleep_for(milliseconds(500));
    // The peer gives up on the connection while a write waits on it.
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
    std::thread reader([&] { received = srv.ReceiveUntilQuiet(0, Patient(milliseconds(500)), Patient(seconds(20))); });
    for (std::uint32_t i = 0; i < kPdus; ++i) {
        const Bytes body = Numbered(i, SizeOf(i));
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
    client.Destroy();
    reader.join();
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
    std::this_thread::sleep_for(milliseconds(300));
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

} // namespace
} // namespace kavra::test
