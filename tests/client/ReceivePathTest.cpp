// The receive path fed by a raw peer: frame reassembly, resynchronisation
// after garbage, refused lengths, the queue limit, and the consumer calls.
#include "ClientTestUtil.h"

#include "kavra/FrameDecoder.h"

#include "support/BlockTracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace kavra::test {
namespace {

constexpr unsigned char kCanary = 0xCD;
constexpr std::size_t kDestinationSize = KavraClientThread::MAX_PDU_LENGTH + 256;

// Body with its index in the first two bytes (base 128, so never 0xFF), so
// order and identity show.
Bytes IndexedBody(unsigned int index, std::size_t size) {
    Bytes body = Pattern(std::max<std::size_t>(size, 2), index);
    body[0] = static_cast<unsigned char>(index / 128U);
    body[1] = static_cast<unsigned char>(index % 128U);
    return body;
}

unsigned int IndexOf(const Bytes& body) {
    return body[0] * 128U + body[1];
}

class ReceivePath : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartClient(client, srv)); }

    void Feed(const Bytes& bytes) { ASSERT_TRUE(srv.Send(0, bytes)); }

    // Takes the next body and checks it, as GetMessageA sees it: the body
    // copied, every byte after it untouched.
    void ExpectNextMessage(const Bytes& expected) {
        Bytes destination(kDestinationSize, kCanary);
        const auto wait = static_cast<unsigned int>(kSoon.count());
        ASSERT_EQ(client.GetMessageA(destination.data(), wait), 0);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), destination.begin()));
        EXPECT_TRUE(std::all_of(destination.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                                destination.end(), [](unsigned char b) { return b == kCanary; }))
            << "bytes written beyond a body of " << expected.size();
    }

    void ExpectNothingQueued() {
        Bytes destination(kDestinationSize, kCanary);
        EXPECT_EQ(client.GetMessageA(destination.data(), 0), 1);
        EXPECT_TRUE(std::all_of(destination.begin(), destination.end(),
                                [](unsigned char b) { return b == kCanary; }));
    }

    LoopbackServer srv;
    KeepingClient client;
};

TEST_F(ReceivePath, ConsumerGetsEachBodyExactlyInArrivalOrder) {
    const std::vector<Bytes> bodies = {Pattern(1, 1), Pattern(5, 2), Pattern(300, 3),
                                       Pattern(KavraClientThread::MAX_PDU_LENGTH, 4),
                                       Pattern(2, 5)};
    Bytes stream;
    std::uint64_t bodyBytes = 0;
    for (const Bytes& body : bodies) {
        stream = Concat({stream, FrameBytes(body)});
        bodyBytes += body.size();
    }
    Feed(stream);
    for (const Bytes& body : bodies) {
        ExpectNextMessage(body);
    }
    ExpectNothingQueued();

    // The counters and notifications trail the hand-over to the consumer.
    EXPECT_TRUE(WaitUntil([&] {
        const ConnectionStats s = client.GetStats();
        return s.framesReceived == 5 && s.bytesReceived == bodyBytes &&
               client.ReceiveNotifications() == 5;
    }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.badHeaders, 0U);
    EXPECT_EQ(stats.resyncBytesDiscarded, 0U);
    EXPECT_EQ(client.GetReceiveCount(), 0);
}

TEST_F(ReceivePath, FramesSplitAcrossManyWritesAreReassembled) {
    const Bytes body = Pattern(1000, 6);
    const Bytes frame = FrameBytes(body);
    for (std::size_t pos = 0; pos < frame.size(); pos += 97) {
        const std::size_t n = std::min<std::size_t>(97, frame.size() - pos);
        ASSERT_TRUE(srv.Send(0, frame.data() + pos, n));
        std::this_thread::sleep_for(milliseconds(2));
    }
    ExpectNextMessage(body);
    ExpectNothingQueued();
}

TEST_F(ReceivePath, WholeFramesAndAFrameCutAtAnyPointInterleaveInStep) {
    // Two whole frames and the head of a third arrive in one piece: the
    // whole ones are taken where they lie, the cut one waits for its rest,
    // and behind it the stream is in step again. Cut at every third byte,
    // from inside the sync mark to the last body byte.
    const Bytes cutBody = Pattern(40, 31);
    const Bytes cutFrame = FrameBytes(cutBody);
    std::uint64_t delivered = 0;
    std::uint64_t bodyBytes = 0;
    for (std::size_t cut = 1; cut < cutFrame.size(); cut += 3) {
        const Bytes first = Pattern(3 + cut, 32);
        const Bytes second = Pattern(64, 33);
        const Bytes after = Pattern(5, 34);
        const Bytes head(cutFrame.begin(), cutFrame.begin() + static_cast<std::ptrdiff_t>(cut));
        const Bytes rest(cutFrame.begin() + static_cast<std::ptrdiff_t>(cut), cutFrame.end());
        Feed(Concat({FrameBytes(first), FrameBytes(second), head}));
        ExpectNextMessage(first);
        ExpectNextMessage(second);
        Feed(Concat({rest, FrameBytes(after)}));
        ExpectNextMessage(cutBody);
        ExpectNextMessage(after);
        delivered += 4;
        bodyBytes += first.size() + second.size() + cutBody.size() + after.size();
    }
    ExpectNothingQueued();
    EXPECT_TRUE(WaitUntil([&] {
        const ConnectionStats s = client.GetStats();
        return s.framesReceived == delivered && s.bytesReceived == bodyBytes;
    }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.framesRead, delivered);
    EXPECT_EQ(stats.resyncBytesDiscarded, 0U);
    EXPECT_EQ(stats.badHeaders, 0U);
}

TEST_F(ReceivePath, GarbageBeforeBetweenAndInsideFramesIsSkipped) {
    // None of the garbage runs ends in 0xFF: a trailing 0xFF would join the
    // following sync mark and shift the header, by design of the scan.
    const Bytes plain = {0x01, 0x02, 0x03};
    const Bytes brokenRun = Concat({Bytes{0xFF, 0xFF, 0xFF, 0x00}, Pattern(20, 7)});
    const Bytes nineThenZero = Concat({Bytes(9, 0xFF), Bytes{0x00}});
    const Bytes nineThenOther =
        Concat({Bytes{0xFF, 0xFF, 0xFF, 0x07}, Bytes(9, 0xFF), Bytes{0x01}});
    const Bytes runAtWindowEnd = Concat({Pattern(12, 8), Bytes{0xFF, 0xFF, 0x00}});
    const Bytes longNoise = Pattern(1000, 9);

    const std::vector<Bytes> bodies = {Pattern(5, 20), Pattern(1, 21), Pattern(70, 22),
                                       Pattern(3, 23), Pattern(9, 24), Pattern(33, 25)};
    const Bytes stream =
        Concat({plain, FrameBytes(bodies[0]), brokenRun, FrameBytes(bodies[1]), nineThenZero,
                FrameBytes(bodies[2]), nineThenOther, FrameBytes(bodies[3]), runAtWindowEnd,
                FrameBytes(bodies[4]), longNoise, FrameBytes(bodies[5])});
    Feed(stream);
    for (const Bytes& body : bodies) {
        ExpectNextMessage(body);
    }
    ExpectNothingQueued();

    const std::uint64_t garbage = plain.size() + brokenRun.size() + nineThenZero.size() +
                                  nineThenOther.size() + runAtWindowEnd.size() + longNoise.size();
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == bodies.size(); }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.resyncBytesDiscarded, garbage);
    EXPECT_EQ(stats.badHeaders, 0U);
}

TEST_F(ReceivePath, RefusedLengthsMakeNoPduAndTheStreamGoesOn) {
    const std::vector<Bytes> bodies = {
        Pattern(4, 30), Pattern(5, 31), Pattern(6, 32),
        Pattern(7, 33), Pattern(8, 34), Pattern(KavraClientThread::MAX_PDU_LENGTH, 35)};
    // A body just too long to deliver is read whole and dropped, so a frame
    // hidden inside it is never delivered. Lengths no sender could mean are
    // garbage: no body is read, and the scan goes on right after them.
    Bytes tooLong = FrameBytes(Pattern(20, 36));
    tooLong.resize(KavraClientThread::MAX_PDU_LENGTH + 1, 0x11);
    const Bytes stream = Concat({HeaderBytes(0), FrameBytes(bodies[0]), HeaderBytes(0xFFFFFFF0U),
                                 FrameBytes(bodies[1]), HeaderBytes(0x7FFFFFFFU),
                                 FrameBytes(bodies[2]), HeaderBytes(8813), tooLong,
                                 FrameBytes(bodies[3]), HeaderBytes((1U << 20) + 1U),
                                 FrameBytes(bodies[4]), FrameBytes(bodies[5])});
    Feed(stream);
    for (const Bytes& body : bodies) {
        ExpectNextMessage(body);
    }
    ExpectNothingQueued();

    EXPECT_TRUE(WaitUntil([&] {
        return client.GetStats().framesReceived == bodies.size() &&
               client.ReceiveNotifications() == static_cast<int>(bodies.size());
    }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.badHeaders, 4U);
    EXPECT_EQ(stats.oversizeDiscarded, 1U);
    EXPECT_EQ(stats.framesRead, bodies.size() + 1U);
    EXPECT_EQ(stats.resyncBytesDiscarded, 0U);
}

// A peer that pads with 0xFF, or writes garbage ending in 0xFF, before its
// frames: the run joins the sync mark, and the header on its last ten 0xFF is
// the frame's. Bad headers whose own length begins with 0xFF (-1, -5, -256)
// and the other refused lengths still let the frame behind them through.
// Sent whole and in 13-byte writes, so reads end at every point of a run.
TEST_F(ReceivePath, EveryFrameBehindRunsOf0xFFArrivesAndTheDecoderAgrees) {
    std::vector<Bytes> bodies;
    Bytes stream;
    std::uint64_t skipped = 0;
    auto add = [&](const Bytes& before, std::uint64_t skips) {
        bodies.push_back(IndexedBody(static_cast<unsigned int>(bodies.size()), 5 + bodies.size()));
        stream = Concat({stream, before, FrameBytes(bodies.back())});
        skipped += skips;
    };
    for (std::size_t run = 1; run <= 20; ++run) {
        add(Concat({Pattern(3, static_cast<unsigned int>(run)), Bytes(run, 0xFF)}), 3 + run);
        add(Bytes(run, 0xFF), run);
    }
    // -1 is all 0xFF: with the next sync mark a run of 24 whose last ten
    // are the next header, so its bytes count as skipped, not a bad header.
    add(HeaderBytes(0xFFFFFFFFU), KavraHeader::HEADER_LENGTH);
    const std::vector<std::uint32_t> bad = {0xFFFFFFFBU, 0xFFFFFF00U, 0x80000000U, 0U};
    for (const std::uint32_t length : bad) {
        add(HeaderBytes(length), 0);
    }
    add(Concat({HeaderBytes(0x7FFFFFFFU), Pattern(40, 50)}), 40);
    add(Pattern(3, 51), 3);

    for (const std::size_t piece : {stream.size(), std::size_t{13}}) {
        const ConnectionStats before = client.GetStats();
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            ASSERT_TRUE(srv.Send(0, stream.data() + at, std::min(piece, stream.size() - at)));
        }
        for (const Bytes& body : bodies) {
            ExpectNextMessage(body);
        }
        ExpectNothingQueued();
        ASSERT_TRUE(WaitUntil([&] {
            return client.GetStats().framesReceived - before.framesReceived == bodies.size();
        }));
        const ConnectionStats after = client.GetStats();
        EXPECT_EQ(after.resyncBytesDiscarded - before.resyncBytesDiscarded, skipped);
        EXPECT_EQ(after.badHeaders - before.badHeaders, bad.size() + 1U);
    }

    // The stream pauses right behind the three bytes read past -256 to
    // decide; they begin the next frame, which must survive the pause.
    const Bytes last = FrameBytes(IndexedBody(99, 9));
    const std::uint64_t badBefore = client.GetStats().badHeaders;
    ASSERT_TRUE(srv.Send(0, Concat({HeaderBytes(0xFFFFFF00U), Bytes(last.begin(), last.begin() + 3)})));
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().badHeaders > badBefore; }));
    ASSERT_TRUE(srv.Send(0, last.data() + 3, last.size() - 3));
    ExpectNextMessage(IndexedBody(99, 9));

    FrameDecoder decoder;
    std::size_t used = 0;
    Bytes body;
    for (const Bytes& expected : bodies) {
        used += decoder.Feed(stream.data() + used, stream.size() - used);
        ASSERT_TRUE(decoder.Next(body));
        EXPECT_EQ(body, expected);
    }
    EXPECT_EQ(decoder.GetCounters().skippedBytes, skipped);
    EXPECT_EQ(decoder.GetCounters().badHeaders, bad.size() + 1U);
}

TEST_F(ReceivePath, FullQueueReadsAndDropsTheFrameAndStaysInStep) {
    constexpr unsigned int kLimit = KavraClientThread::MAX_RECEIVE_QUEUE;
    // One frame more than the queue holds, in one write: the frames that
    // arrive together are taken together, and the last must still be the
    // one dropped.
    Bytes stream;
    for (unsigned int i = 0; i <= kLimit; ++i) {
        stream = Concat({stream, FrameBytes(IndexedBody(i, 3 + i % 17))});
    }
    Feed(stream);
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().receiveDropsQueueFull == 1; }));
    EXPECT_EQ(client.GetReceiveQueueLength(), kLimit);

    // The dropped body holds a complete frame of its own: a reader that did
    // not consume the whole body would find it and deliver it.
    const Bytes embedded = FrameBytes(Pattern(3, 99));
    Feed(FrameBytes(Concat({Pattern(10, 98), embedded, Pattern(10, 97)})));
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().receiveDropsQueueFull == 2; }));
    EXPECT_EQ(client.GetReceiveQueueLength(), kLimit);
    EXPECT_EQ(client.GetReceiveCount(), static_cast<long>(kLimit));
    EXPECT_TRUE(
        WaitUntil([&] { return client.ReceiveNotifications() == static_cast<int>(kLimit); }));

    for (unsigned int i = 0; i < kLimit; ++i) {
        ExpectNextMessage(IndexedBody(i, 3 + i % 17));
    }
    ExpectNothingQueued();

    const Bytes after1 = IndexedBody(1001, 12);
    const Bytes after2 = IndexedBody(1002, 13);
    Feed(Concat({FrameBytes(after1), FrameBytes(after2)}));
    ExpectNextMessage(after1);
    ExpectNextMessage(after2);
    ExpectNothingQueued();

    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == kLimit + 2U; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.receiveDropsQueueFull, 2U);
    EXPECT_EQ(stats.resyncBytesDiscarded, 0U);
}

// A read that brings only whole frames ends with them. Were the worker to
// go on reading for bytes that are not coming, it would sit in that read
// until the socket's read timeout, and a reply to the frames would wait as
// long.
TEST_F(ReceivePath, AfterWholeFramesTheWorkerIsFreeToAnswer) {
    const milliseconds wellInsideTheReadTimeout(KavraClientThread::SOCKET_IO_TIMEOUT_MS / 2);
    for (unsigned int round = 0; round < 3; ++round) {
        const Bytes first = IndexedBody(2 * round, 20);
        const Bytes second = IndexedBody(2 * round + 1, 30);
        Feed(Concat({FrameBytes(first), FrameBytes(second)}));
        ExpectNextMessage(first);
        ExpectNextMessage(second);
        ASSERT_EQ(client.SendPdu(second.data(), static_cast<unsigned int>(second.size())), 0);
        EXPECT_EQ(ReadFrame(srv, 0, wellInsideTheReadTimeout), second) << "round " << round;
    }
}

TEST_F(ReceivePath, ReceivePdusWorkOverTheWire) {
    const Bytes big = Pattern(500, 40);
    const Bytes small = Pattern(2, 41);
    Feed(Concat({FrameBytes(big), FrameBytes(small)}));
    ASSERT_TRUE(WaitUntil([&] { return client.GetReceiveQueueLength() == 2; }));

    Bytes destination(600, kCanary);
    unsigned int size = 0;
    EXPECT_EQ(client.ReceivePdu(destination.data(), 499, &size, 0),
              KavraClientThread::RECEIVE_TOO_SMALL);
    EXPECT_EQ(size, 500U);
    EXPECT_TRUE(std::all_of(destination.begin(), destination.end(),
                            [](unsigned char b) { return b == kCanary; }));
    EXPECT_EQ(client.ReceivePdu(destination.data(), 500, &size, 0), KavraClientThread::RECEIVE_OK);
    EXPECT_EQ(size, 500U);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), destination.begin()));
    EXPECT_EQ(destination[500], kCanary);
    EXPECT_EQ(TakeBody(client), small);
}

TEST_F(ReceivePath, SeveralConsumersShareThePdusWithoutLossOrDuplicates) {
    constexpr unsigned int kCount = 90;
    constexpr int kConsumers = 3;
    std::mutex mutex;
    std::vector<Bytes> taken;
    std::atomic<unsigned int> delivered{0};
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c) {
        consumers.emplace_back([&] {
            const auto deadline = Clock::now() + Patient(std::chrono::seconds(10));
            while (delivered.load() < kCount && Clock::now() < deadline) {
                Bytes destination(kDestinationSize, kCanary);
                if (client.GetMessageA(destination.data(), 100) == 0) {
                    delivered.fetch_add(1);
                    std::lock_guard<std::mutex> lock(mutex);
                    taken.push_back(destination);
                }
            }
        });
    }
    Bytes stream;
    for (unsigned int i = 0; i < kCount; ++i) {
        stream = Concat({stream, FrameBytes(IndexedBody(i, 6))});
    }
    Feed(stream);
    for (std::thread& t : consumers) {
        t.join();
    }

    ASSERT_EQ(taken.size(), kCount);
    std::set<unsigned int> seen;
    for (const Bytes& destination : taken) {
        const unsigned int index = IndexOf(destination);
        ASSERT_LT(index, kCount);
        EXPECT_TRUE(std::equal(destination.begin(), destination.begin() + 6,
                               IndexedBody(index, 6).begin()));
        EXPECT_TRUE(seen.insert(index).second) << "body " << index << " delivered twice";
    }
    EXPECT_EQ(seen.size(), kCount);
    EXPECT_EQ(client.GetReceiveCount(), 0);
}

TEST_F(ReceivePath, PdusUsedAgainNeverMixBodiesOfAnySize) {
    // A PDU the consumer is done with may carry a later frame. Every body
    // comes out whole, whatever size the body before it had and whichever
    // way the frame was read (garbage in front sends it through the
    // resynchronising reads), and the PDUs still queued when new frames
    // arrive are never the ones refilled.
    BlockTracker tracker({BlockKind::PduObject, BlockKind::PduBody});
    constexpr std::size_t kSizes[] = {1, 64, 255, 256, 2000, KavraClientThread::MAX_PDU_LENGTH,
                                      257, 3};
    constexpr unsigned int kGroup = 16;
    constexpr unsigned int kGroups = 8;
    constexpr std::size_t kKept = kGroup / 2;
    const Bytes garbage = {0x01, 0x02};
    std::vector<Bytes> bodies;
    std::uint64_t resync = 0;
    unsigned int taken = 0;
    const auto takeNext = [&] {
        const Bytes& expected = bodies[taken];
        if (taken % 2 == 0) {
            ExpectNextMessage(expected);
        } else {
            EXPECT_EQ(TakeBody(client), expected) << "body " << taken;
        }
        ++taken;
    };
    for (unsigned int group = 0; group < kGroups; ++group) {
        Bytes stream;
        for (unsigned int i = 0; i < kGroup; ++i) {
            const auto n = static_cast<unsigned int>(bodies.size());
            bodies.push_back(Pattern(kSizes[(n + group) % std::size(kSizes)], n));
            if (n % 5 == 0) {
                stream = Concat({stream, garbage});
                resync += garbage.size();
            }
            stream = Concat({stream, FrameBytes(bodies.back())});
        }
        Feed(stream);
        // Half of the group before stays queued while this one arrives.
        const std::size_t waiting = kGroup + (group > 0 ? kKept : 0);
        ASSERT_TRUE(WaitUntil([&] { return client.GetReceiveQueueLength() == waiting; }));
        while (bodies.size() - taken > kKept) {
            takeNext();
        }
    }
    while (taken < bodies.size()) {
        takeNext();
    }
    ExpectNothingQueued();

    // The worker counts a frame after queueing it: the consumer may take the
    // last one first.
    EXPECT_TRUE(
        WaitUntil([&] { return client.GetStats().framesReceived == bodies.size(); }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.framesReceived, bodies.size());
    EXPECT_EQ(stats.resyncBytesDiscarded, resync);
    EXPECT_EQ(tracker.Of(BlockKind::PduObject).allocations, bodies.size());
    for (BlockKind kind : {BlockKind::PduObject, BlockKind::PduBody}) {
        const BlockTracker::Counts counts = tracker.Of(kind);
        const int k = static_cast<int>(kind);
        EXPECT_EQ(counts.releases, counts.allocations) << "kind " << k;
        EXPECT_EQ(counts.live, 0U) << "kind " << k;
        EXPECT_EQ(counts.foreign, 0U) << "kind " << k;
        EXPECT_EQ(counts.doubled, 0U) << "kind " << k;
    }
}

// Reports when each OnSocketReceive call has ended.
class TimedClient : public KeepingClient {
public:
    ~TimedClient() override { Destroy(); }
    int ReceiveCallsEnded() const { return m_receiveCallsEnded.load(); }

protected:
    void OnSocketReceive(int readable) override {
        KeepingClient::OnSocketReceive(readable);
        m_receiveCallsEnded.fetch_add(1);
    }

private:
    std::atomic<int> m_receiveCallsEnded{0};
};

TEST(ReceivePathStall, TornFrameIsAbandonedAfterTheReadTimeout) {
    LoopbackServer srv;
    TimedClient client;
    ASSERT_TRUE(StartClient(client, srv));

    // A header announcing 20 bytes, then only 8 of them, then silence.
    const auto sent = Clock::now();
    ASSERT_TRUE(srv.Send(0, Concat({HeaderBytes(20), Pattern(8, 50)})));
    ASSERT_TRUE(
        WaitUntil([&] { return client.ReceiveCallsEnded() >= 1; }, Patient(milliseconds(10000))));
    const auto waited = Clock::now() - sent;
    EXPECT_GE(waited, milliseconds(2500));
    EXPECT_LE(waited, milliseconds(2500) + Patient(milliseconds(6500)));

    EXPECT_EQ(client.GetReceiveQueueLength(), 0U);
    EXPECT_EQ(client.ReceiveNotifications(), 0);
    EXPECT_EQ(client.GetStats().framesReceived, 0U);

    // The next frame starts with a fresh header read.
    const Bytes body = Pattern(6, 51);
    ASSERT_TRUE(srv.Send(0, FrameBytes(body)));
    EXPECT_EQ(TakeBody(client), body);
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == 1; }));
}

TEST(ReceivePathDefaultHandler, DiscardsEveryPduButTheCounterStopsAt100) {
    LoopbackServer srv;
    OpenClient client;
    ASSERT_TRUE(StartClient(client, srv));

    // In batches well under the queue limit, each drained by the handler
    // before the next, so no frame meets a full queue.
    unsigned int sent = 0;
    for (int batch = 0; batch < 3; ++batch) {
        Bytes stream;
        for (int i = 0; i < 50; ++i, ++sent) {
            stream = Concat({stream, FrameBytes(IndexedBody(sent, 4))});
        }
        ASSERT_TRUE(srv.Send(0, stream));
        ASSERT_TRUE(WaitUntil([&] {
            return client.GetStats().framesReceived == sent && client.GetReceiveQueueLength() == 0;
        }));
    }
    EXPECT_EQ(client.GetReceiveQueueLength(), 0U);
    EXPECT_EQ(client.GetReceiveCount(), 100);
    EXPECT_EQ(client.GetStats().receiveDropsQueueFull, 0U);

    // The wait succeeds on a stale unit and finds nothing.
    Bytes destination(kDestinationSize, kCanary);
    EXPECT_EQ(client.GetMessageA(destination.data(), 0), 1);
    EXPECT_EQ(client.GetReceiveCount(), 99);
    EXPECT_TRUE(std::all_of(destination.begin(), destination.end(),
                            [](unsigned char b) { return b == kCanary; }));
}

// ---- consumer calls on an object without a thread ---------------------------

// Drives the receive path itself, with the byte counts it chooses, on a
// connected socket and without a worker.
class BudgetClient : public KeepingClient {
public:
    using KavraClientThread::OnSocketReceive;
};

TEST(ReceiveBudget, ACallReadsWholeFramesUntilItsByteCountIsSpent) {
    LoopbackServer srv;
    BudgetClient client;
    CServerStatus server("127.0.0.1", srv.Port());
    server.SetReconnect(false);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    ASSERT_TRUE(srv.WaitForConnection(0, kSoon));
    // Nineteen bytes a frame; three bytes of garbage before the fourth.
    const Bytes frame = FrameBytes(Pattern(5, 1));
    const Bytes garbage = {0x01, 0x02, 0x03};
    ASSERT_TRUE(srv.Send(0, Concat({frame, frame, frame, garbage, frame, frame, frame, frame})));
    const std::vector<std::pair<int, std::size_t>> calls = {
        {0, 0},  // reads nothing
        {-5, 0}, // nor does a negative count
        {19, 1}, // the count ends with the frame
        {20, 3}, // one byte is left: the next frame is read whole
        {22, 4}, // the garbage and the frame after it
        {5, 5},  // a count short of a frame still reads the whole frame
        {38, 7}, // two frames
    };
    for (const auto& [count, queued] : calls) {
        client.OnSocketReceive(count);
        EXPECT_EQ(client.GetReceiveQueueLength(), queued) << "after a count of " << count;
    }
    EXPECT_EQ(client.GetStats().resyncBytesDiscarded, 3U);
}

TEST(ConsumerCalls, GetMessageTimeouts) {
    KeepingClient client;
    Bytes destination(kDestinationSize, kCanary);

    auto start = Clock::now();
    EXPECT_EQ(client.GetMessageA(destination.data(), 0), 1);
    EXPECT_LT(Clock::now() - start, Patient(milliseconds(1000)));

    start = Clock::now();
    EXPECT_EQ(client.GetMessageA(destination.data(), 500), 1);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(450));
    EXPECT_LT(waited, Patient(milliseconds(5000)));

    // A null destination returns before any wait.
    const auto nullWait = Patient(milliseconds(3000));
    start = Clock::now();
    EXPECT_EQ(client.GetMessageA(nullptr, static_cast<unsigned int>(nullWait.count())), 1);
    EXPECT_LT(Clock::now() - start, nullWait / 3);

    EXPECT_TRUE(std::all_of(destination.begin(), destination.end(),
                            [](unsigned char b) { return b == kCanary; }));
}

TEST(ConsumerCalls, NullDestinationLeavesQueuedPdusAlone) {
    KeepingClient client;
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(Pattern(4, 60))), 1);
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(Pattern(5, 61))), 1);
    EXPECT_EQ(client.GetMessageA(nullptr, 0xFFFFFFFFU), 1);
    EXPECT_EQ(client.GetReceiveQueueLength(), 2U);
    EXPECT_EQ(client.GetReceiveCount(), 2);
    EXPECT_EQ(TakeBody(client, milliseconds(0)), Pattern(4, 60));
    EXPECT_EQ(TakeBody(client, milliseconds(0)), Pattern(5, 61));
}

TEST(ConsumerCalls, GetMessageNeverDeliversACutBody) {
    // The receive path never queues such a body; a subclass may push one.
    KeepingClient client;
    const Bytes oversized = Pattern(KavraClientThread::MAX_PDU_LENGTH + 188, 62);
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(oversized)), 1);
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(Pattern(3, 63))), 1);
    Bytes destination(kDestinationSize, kCanary);
    EXPECT_EQ(client.GetMessageA(destination.data(), 0), 1);
    EXPECT_TRUE(std::all_of(destination.begin(), destination.end(),
                            [](unsigned char b) { return b == kCanary; }));
    EXPECT_EQ(client.GetStats().consumerDropsTooLong, 1U);
    EXPECT_EQ(TakeBody(client, milliseconds(0)), Pattern(3, 63));
}

TEST(ConsumerCalls, EmptyBodyIsDeliveredWithoutWriting) {
    KeepingClient client;
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(Bytes{})), 1);
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(Bytes{})), 1);
    Bytes destination(16, kCanary);
    EXPECT_EQ(client.GetMessageA(destination.data(), 0), 0);
    EXPECT_EQ(destination, Bytes(16, kCanary));
    unsigned int size = 99;
    EXPECT_EQ(client.ReceivePdu(nullptr, 0, &size, 0), KavraClientThread::RECEIVE_OK);
    EXPECT_EQ(size, 0U);
    EXPECT_EQ(client.GetReceiveQueueLength(), 0U);
}

TEST(ConsumerCalls, ReceivePduTooSmallKeepsThePduFirst) {
    KeepingClient client;
    const Bytes first = Pattern(10, 70);
    const Bytes second = Pattern(3, 71);
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(first)), 1);
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(second)), 1);

    Bytes destination(32, kCanary);
    unsigned int size = 0;
    EXPECT_EQ(client.ReceivePdu(destination.data(), 4, &size, 0),
              KavraClientThread::RECEIVE_TOO_SMALL);
    EXPECT_EQ(size, 10U);
    EXPECT_EQ(destination, Bytes(32, kCanary));
    EXPECT_EQ(client.GetReceiveQueueLength(), 2U);
    EXPECT_EQ(client.GetReceiveCount(), 2);

    // A probe without a buffer reports the size as well.
    size = 0;
    EXPECT_EQ(client.ReceivePdu(nullptr, 0, &size, 0), KavraClientThread::RECEIVE_TOO_SMALL);
    EXPECT_EQ(size, 10U);

    EXPECT_EQ(client.ReceivePdu(destination.data(), 10, &size, 0), KavraClientThread::RECEIVE_OK);
    EXPECT_EQ(size, 10U);
    EXPECT_EQ(Bytes(destination.begin(), destination.begin() + 10), first);
    EXPECT_EQ(destination[10], kCanary);

    std::fill(destination.begin(), destination.end(), kCanary);
    EXPECT_EQ(client.ReceivePdu(destination.data(), 32, nullptr, 0), KavraClientThread::RECEIVE_OK);
    EXPECT_EQ(Bytes(destination.begin(), destination.begin() + 3), second);
    EXPECT_EQ(destination[3], kCanary);

    EXPECT_EQ(client.ReceivePdu(destination.data(), 32, &size, 0),
              KavraClientThread::RECEIVE_NOTHING);
    const auto start = Clock::now();
    EXPECT_EQ(client.ReceivePdu(destination.data(), 32, &size, 300),
              KavraClientThread::RECEIVE_NOTHING);
    EXPECT_GE(Clock::now() - start, milliseconds(250));
    EXPECT_EQ(client.GetReceiveCount(), 0);
}

} // namespace
} // namespace kavra::test
