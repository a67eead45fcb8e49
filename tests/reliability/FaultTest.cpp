// A broken or hostile peer: connections cut inside a frame, a peer that goes
// silent in the middle of a header, megabytes of noise, refused lengths
// buried in noise, a server that restarts, sends into a dead connection,
// and teardown with both queues full. The client must keep every frame it
// can, invent none, and stay usable.
#include "ReliabilityUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace kavra::test {
namespace {

// Sends bytes in pieces, each within the peer's own time limit even when the
// client scans slowly (sanitizers).
::testing::AssertionResult SendInPieces(LoopbackServer& srv, std::size_t index,
                                        const Bytes& bytes) {
    constexpr std::size_t kPiece = 64 * 1024;
    for (std::size_t pos = 0; pos < bytes.size(); pos += kPiece) {
        const std::size_t n = std::min(kPiece, bytes.size() - pos);
        if (!srv.Send(index, bytes.data() + pos, n)) {
            return ::testing::AssertionFailure() << "peer could not write at offset " << pos;
        }
    }
    return ::testing::AssertionSuccess();
}

// ---- the peer closes inside a frame ------------------------------------------

struct Cut {
    const char* name;
    std::size_t keep; // bytes of the torn frame written before the close
};

class PeerClosesInsideAFrame : public ::testing::TestWithParam<Cut> {};

TEST_P(PeerClosesInsideAFrame, TornFrameIsLostAndTheNextConnectionStartsClean) {
    LoopbackServer srv;
    KeepingClient client;
    ASSERT_TRUE(StartClient(client, srv, true));

    const Bytes before = Pattern(30, 1);
    const Bytes torn = FrameBytes(Pattern(100, 2));
    ASSERT_LT(GetParam().keep, torn.size());
    ASSERT_TRUE(srv.Send(0, Concat({FrameBytes(before),
                                    Bytes(torn.begin(), torn.begin() + static_cast<std::ptrdiff_t>(
                                                                           GetParam().keep))})));
    EXPECT_EQ(TakeBody(client), before);
    srv.CloseConnection(0);

    // The new connection's first bytes are a frame of their own; nothing of
    // the torn frame may be joined to them.
    ASSERT_TRUE(srv.WaitForConnection(1, kSoon));
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().reconnections == 1; }));
    const Bytes after = Pattern(12, 3);
    ASSERT_TRUE(srv.Send(1, Concat({FrameBytes(after), FrameBytes(kMarker)})));
    EXPECT_EQ(BodiesBeforeMarker(client), std::vector<Bytes>{after});

    // The counters trail the hand-over to the consumer.
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == 3; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.bytesReceived, before.size() + after.size() + kMarker.size());
    EXPECT_EQ(stats.badHeaders, 0U);
    EXPECT_EQ(stats.resyncBytesDiscarded, 0U);

    // And the new connection carries the other way too.
    const Bytes out = Pattern(9, 4);
    ASSERT_EQ(client.SendPdu(out.data(), 9), 0);
    EXPECT_EQ(ReadFrame(srv, 1), out);
}

INSTANTIATE_TEST_SUITE_P(Cuts, PeerClosesInsideAFrame,
                         ::testing::Values(Cut{"InTheSyncMark", 6}, Cut{"InTheLength", 12},
                                           Cut{"AfterTheHeader", 14}, Cut{"InTheBody", 14 + 40},
                                           Cut{"OneByteShort", 14 + 99}),
                         [](const ::testing::TestParamInfo<Cut>& param) {
                             return std::string(param.param.name);
                         });

// ---- the peer goes silent ------------------------------------------------------

TEST(PeerStalls, HeaderCutBySilenceIsAbandonedAndTheSendPathCatchesUp) {
    LoopbackServer srv;
    KeepingClient client;
    ASSERT_TRUE(StartClient(client, srv));

    const Bytes first = Pattern(20, 10);
    const Bytes header = HeaderBytes(5);
    // The sync mark and half of the length, then silence for longer than
    // the read timeout.
    ASSERT_TRUE(
        srv.Send(0, Concat({FrameBytes(first), Bytes(header.begin(), header.begin() + 12)})));
    EXPECT_EQ(TakeBody(client), first);

    // The worker sits in the header read; a PDU sent meanwhile waits for it
    // and goes out once the read has given up.
    const auto stalled = Clock::now();
    const Bytes out = Pattern(7, 11);
    ASSERT_EQ(client.SendPdu(out.data(), 7), 0);
    EXPECT_EQ(ReadFrame(srv, 0, Patient(milliseconds(15000))), out);
    const auto waited = Clock::now() - stalled;
    EXPECT_GE(waited, milliseconds(2000));
    EXPECT_LE(waited, milliseconds(2000) + Patient(milliseconds(10000)));

    // The rest of the cut frame now arrives without its start: it is noise
    // to a fresh header read, and the frame after it is found.
    const Bytes rest = Concat({Bytes(header.begin() + 12, header.end()), Pattern(5, 12)});
    const Bytes last = Pattern(40, 13);
    ASSERT_TRUE(srv.Send(0, Concat({rest, FrameBytes(last), FrameBytes(kMarker)})));
    EXPECT_EQ(BodiesBeforeMarker(client), std::vector<Bytes>{last});

    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == 3; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.resyncBytesDiscarded, rest.size());
    EXPECT_EQ(stats.badHeaders, 0U);
    EXPECT_EQ(stats.framesSent, 1U);
    EXPECT_EQ(stats.SendDropped(), 0U);
}

// ---- noise -------------------------------------------------------------------------

TEST(GarbageStorm, MegabytesWithoutASyncMarkCostTheNoiseOnly) {
    const std::size_t noiseSize = 8U << 20;
    std::mt19937 rng(20240501U);
    const Bytes before = Pattern(100, 20);
    const Bytes after = Pattern(KavraClientThread::MAX_PDU_LENGTH, 21);
    const Bytes stream = Concat({FrameBytes(before), Garbage(noiseSize, rng), FrameBytes(after)});

    LoopbackServer srv;
    KeepingClient client;
    ASSERT_TRUE(StartClient(client, srv));
    const bool peakReset = ResetPeakResident();
    const std::uint64_t peakBefore = PeakResidentKiB();

    const auto start = Clock::now();
    ASSERT_TRUE(SendInPieces(srv, 0, stream));
    EXPECT_EQ(TakeBody(client, Patient(std::chrono::seconds(40))), before);
    EXPECT_EQ(TakeBody(client, Patient(std::chrono::seconds(40))), after);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(TakeBody(client, milliseconds(0)), std::nullopt);

    // The counters trail the hand-over to the consumer.
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == 2; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.resyncBytesDiscarded, noiseSize);
    EXPECT_EQ(stats.badHeaders, 0U);
    // Noise is scanned through a window of one header, never stored: the
    // peak must not move by anything near its size.
    const std::uint64_t peakGrowth = PeakResidentKiB() - peakBefore;
    if (peakReset && !kSanitized) {
        EXPECT_LT(peakGrowth, 1024U) << "KiB";
    }
    std::cout << "garbage storm: " << noiseSize << " bytes without a sync mark scanned in "
              << seconds << " s, peak memory growth " << peakGrowth << " KiB\n";
    ::testing::Test::RecordProperty("noiseBytes", static_cast<int>(noiseSize));
    ::testing::Test::RecordProperty("peakGrowthKiB", static_cast<int>(peakGrowth));
}

TEST(GarbageStorm, RefusedLengthsInNoiseAreCountedAndFramesBetweenThemSurvive) {
    std::mt19937 rng(7U);
    const std::int32_t refused[] = {0, -1, INT_MIN, -8812, (1 << 20) + 1, 0x7FFFFFFF};
    std::uniform_int_distribution<std::size_t> noiseSize(0, 3000);
    std::uniform_int_distribution<unsigned int> bodySize(1, KavraClientThread::MAX_PDU_LENGTH);
    std::uniform_int_distribution<int> pick(0, 2);

    // Kept under the receive queue's 100, so no frame meets a full queue.
    constexpr int kFrames = 60;
    std::vector<Bytes> bodies;
    Bytes stream;
    std::uint64_t noiseBytes = 0;
    std::uint64_t refusedHeaders = 0;
    std::size_t next = 0;
    while (bodies.size() < kFrames) {
        const Bytes noise = Garbage(noiseSize(rng), rng);
        noiseBytes += noise.size();
        stream.insert(stream.end(), noise.begin(), noise.end());
        if (pick(rng) == 0) {
            const Bytes header = MakeHeader(refused[next++ % std::size(refused)]);
            stream.insert(stream.end(), header.begin(), header.end());
            ++refusedHeaders;
        } else {
            const unsigned int size = bodies.size() == 0   ? KavraClientThread::MAX_PDU_LENGTH
                                      : bodies.size() == 1 ? 1
                                                           : bodySize(rng);
            bodies.push_back(Pattern(size, static_cast<unsigned int>(bodies.size())));
            const Bytes frame = FrameBytes(bodies.back());
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
    }
    ASSERT_GE(refusedHeaders, std::size(refused));

    LoopbackServer srv;
    KeepingClient client;
    ASSERT_TRUE(StartClient(client, srv));
    ASSERT_TRUE(SendInPieces(srv, 0, Concat({stream, FrameBytes(kMarker)})));
    const std::vector<Bytes> got = BodiesBeforeMarker(client);
    ASSERT_EQ(got.size(), bodies.size());
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        EXPECT_EQ(got[i], bodies[i]) << "frame " << i;
    }

    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == bodies.size() + 1; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.badHeaders, refusedHeaders);
    EXPECT_EQ(stats.resyncBytesDiscarded, noiseBytes);
    EXPECT_EQ(stats.receiveDropsQueueFull, 0U);
}

// ---- the server goes away -------------------------------------------------------------

TEST(ServerRestart, ClientReconnectsToTheNewServerAndCarriesBothWays) {
    auto srv = std::make_unique<LoopbackServer>();
    const unsigned short port = srv->Port();
    KeepingClient client;
    ASSERT_TRUE(StartClient(client, *srv, true));

    const Bytes first = Pattern(15, 30);
    ASSERT_EQ(client.SendPdu(first.data(), 15), 0);
    EXPECT_EQ(ReadFrame(*srv, 0), first);

    srv.reset();
    // While nobody listens, sends are accepted (the socket stays attached)
    // and their writes fail.
    const Bytes lost = Pattern(16, 31);
    int lostSends = 0;
    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_EQ(client.SendPdu(lost.data(), 16), 0);
        ++lostSends;
        return client.GetStats().SendDropped() >= 1;
    }));
    EXPECT_NE(client.GetSocket(), nullptr);
    EXPECT_TRUE(client.IsRunning());

    try {
        srv = std::make_unique<LoopbackServer>(port);
    } catch (const std::system_error& e) {
        GTEST_SKIP() << "port " << port << " was taken meanwhile: " << e.what();
    }
    ASSERT_TRUE(srv->WaitForConnection(0, kSoon));
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().reconnections == 1; }));

    // A send from the outage that was still queued at the reconnection goes
    // out on the new connection, whole; nothing else comes before the next.
    const Bytes second = Pattern(17, 32);
    ASSERT_EQ(client.SendPdu(second.data(), 17), 0);
    std::optional<Bytes> frame;
    for (int i = 0; i <= lostSends; ++i) {
        frame = ReadFrame(*srv, 0);
        if (frame != lost) {
            break;
        }
    }
    EXPECT_EQ(frame, second);

    const Bytes incoming = Pattern(18, 33);
    ASSERT_TRUE(srv->Send(0, FrameBytes(incoming)));
    EXPECT_EQ(TakeBody(client), incoming);
    EXPECT_EQ(client.GetStats().reconnections, 1U);
}

TEST(DeadConnection, EverySendIsAcceptedAndEveryWriteFailureCounted) {
    LoopbackServer srv;
    OpenClient client;
    ASSERT_TRUE(StartClient(client, srv, false));
    srv.CloseConnection(0);
    // A write or two may still leave before the client has seen the close.
    const Bytes probe = Pattern(3, 40);
    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_EQ(client.SendPdu(probe.data(), 3), 0);
        return client.GetStats().SendDropped() >= 1;
    }));
    // An empty queue is not enough: the worker may hold the last probe it
    // took and count its drop after the snapshot below.
    ASSERT_TRUE(WaitUntil([&] {
        const ConnectionStats s = client.GetStats();
        return s.pdusAccepted == s.framesSent + s.SendDropped();
    }));
    const ConnectionStats before = client.GetStats();

    // From now on every queued entry must end as exactly one drop of a
    // connection that is down.
    constexpr int kThreads = 2;
    constexpr int kPerThread = 500;
    std::vector<std::thread> senders;
    std::atomic<int> notAccepted{0};
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const Bytes body = Pattern(1 + static_cast<std::size_t>(i * 37 + t) % 8812U,
                                           static_cast<unsigned int>(t * kPerThread + i));
                if (client.SendPdu(body.data(), static_cast<unsigned int>(body.size())) != 0) {
                    notAccepted.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    EXPECT_EQ(notAccepted.load(), 0);
    constexpr std::uint64_t kSent = kThreads * kPerThread;
    EXPECT_TRUE(
        WaitUntil([&] { return client.GetStats().SendDropped() == before.SendDropped() + kSent; }));
    const ConnectionStats after = client.GetStats();
    EXPECT_EQ(after.framesSent, before.framesSent);
    EXPECT_EQ(after.bytesSent, before.bytesSent);
    EXPECT_EQ(after.sendDroppedDisconnected, before.sendDroppedDisconnected + kSent);
    EXPECT_EQ(after.pdusAccepted, after.framesSent + after.SendDropped());
    EXPECT_EQ(client.GetSendQueueLength(), 0U);
    EXPECT_TRUE(client.IsRunning());
    EXPECT_EQ(client.GetHandlerExceptionCount(), 0U);
}

// ---- teardown with everything full ----------------------------------------------

// Keeps received PDUs and never takes a send entry, so both queues fill.
class HoardingClient : public KeepingClient {
public:
    ~HoardingClient() override { Destroy(); }

protected:
    void OnSendQueuePush() override {}
};

TEST(FullQueues, DestructionWithBothQueuesFullReleasesEverything) {
    // Whether every queued block and PDU is released exactly once is checked
    // by the leak and address checks of the sanitizer build; here the
    // queues are filled for real and the teardown must be prompt.
    constexpr unsigned int kSendEntries = 5000;
    constexpr unsigned int kIncoming = KavraClientThread::MAX_RECEIVE_QUEUE + 50;
    LoopbackServer srv;
    auto client = std::make_unique<HoardingClient>();
    ASSERT_TRUE(StartClient(*client, srv));

    Bytes stream;
    for (unsigned int i = 0; i < kIncoming; ++i) {
        const Bytes frame = FrameBytes(Pattern(1 + (i * 97U) % 2000U, i));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(srv.Send(0, stream));
    for (unsigned int i = 0; i < kSendEntries; ++i) {
        const Bytes body = Pattern(1 + (i * 131U) % KavraClientThread::MAX_PDU_LENGTH, i);
        ASSERT_EQ(client->SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
    ASSERT_TRUE(WaitUntil([&] {
        return client->GetStats().receiveDropsQueueFull ==
               kIncoming - KavraClientThread::MAX_RECEIVE_QUEUE;
    }));
    EXPECT_EQ(client->GetReceiveQueueLength(), KavraClientThread::MAX_RECEIVE_QUEUE);
    EXPECT_EQ(client->GetSendQueueLength(), kSendEntries);
    EXPECT_EQ(client->GetStats().framesSent, 0U);

    const auto start = Clock::now();
    client.reset();
    EXPECT_LT(Clock::now() - start, Patient(std::chrono::seconds(5)));
    EXPECT_TRUE(srv.WaitForClientClose(0, kSoon));
}

} // namespace
} // namespace kavra::test
