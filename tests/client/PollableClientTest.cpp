// The receive handle against a real peer: readable exactly while PDUs wait,
// with four consumers that wake on it and take PDUs; and SendPduWait against
// a peer that stops reading.
#include "ClientTestUtil.h"
#include "base/os/ReadyHandle.h"
#include "support/Slowdown.h"

#include <kavra/PollableClient.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace kavra::test {
namespace {

bool Readable(const PollableClient& client, int timeoutMs) {
    return ReadyHandle::WaitReadable(client.GetReceiveHandle(), timeoutMs);
}

Bytes NumberedBody(std::uint32_t n) {
    Bytes body(4);
    std::memcpy(body.data(), &n, sizeof n);
    return body;
}

// The peer writes count numbered frames in batches.
void SendNumbered(LoopbackServer& srv, std::uint32_t first, std::uint32_t count) {
    Bytes batch;
    for (std::uint32_t n = first; n < first + count; ++n) {
        const Bytes frame = FrameBytes(NumberedBody(n));
        batch.insert(batch.end(), frame.begin(), frame.end());
        if (batch.size() >= 64 * 1024 || n + 1 == first + count) {
            ASSERT_TRUE(srv.Send(0, batch));
            batch.clear();
        }
    }
}

TEST(PollableClient, HandleIsReadableExactlyWhilePdusWait) {
    LoopbackServer srv;
    PollableClient client;
    ASSERT_EQ(client.GetReceiveOverflow(), ReceiveOverflow::Block);
    ASSERT_TRUE(StartClient(client, srv));
    EXPECT_FALSE(Readable(client, 0)) << "readable before anything arrived";

    const std::uint32_t total = Lighter(100'000, 5'000);
    std::vector<std::atomic<int>> seen(total);
    std::atomic<std::uint32_t> taken{0};
    std::atomic<std::uint64_t> wakeUps{0};
    std::atomic<std::uint64_t> emptyTakes{0};
    std::atomic<bool> bad{false};

    // Each consumer waits on the handle, then takes with a wait of 0.
    const auto consume = [&] {
        unsigned char body[KavraClientThread::MAX_PDU_LENGTH];
        const auto deadline = Clock::now() + Patient(std::chrono::seconds(50));
        while (taken.load() < total && Clock::now() < deadline) {
            if (!Readable(client, 20)) {
                continue;
            }
            wakeUps.fetch_add(1);
            unsigned int size = 0;
            if (client.ReceivePdu(body, sizeof body, &size, 0) != KavraClientThread::RECEIVE_OK) {
                emptyTakes.fetch_add(1);
                continue;
            }
            std::uint32_t n = 0;
            std::memcpy(&n, body, sizeof n);
            if (size != 4 || n >= total) {
                bad.store(true);
                continue;
            }
            seen[n].fetch_add(1);
            taken.fetch_add(1);
        }
    };
    std::vector<std::jthread> consumers;
    for (int i = 0; i < 4; ++i) {
        consumers.emplace_back(consume);
    }
    SendNumbered(srv, 0, total);
    consumers.clear();

    EXPECT_FALSE(bad.load());
    ASSERT_EQ(taken.load(), total);
    std::uint32_t lost = 0;
    std::uint32_t twice = 0;
    for (const std::atomic<int>& count : seen) {
        lost += count.load() == 0 ? 1U : 0U;
        twice += count.load() > 1 ? 1U : 0U;
    }
    EXPECT_EQ(lost, 0U);
    EXPECT_EQ(twice, 0U);
    EXPECT_GE(wakeUps.load(), total);
    // The worker counts a frame after queueing it: the consumer may take the
    // last one first.
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == total; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.receiveDropsQueueFull, 0U);
    EXPECT_EQ(stats.framesReceived, total);

    // Empty queue, idle worker: not readable, though nobody read the handle.
    EXPECT_EQ(client.GetReceiveQueueLength(), 0U);
    EXPECT_FALSE(Readable(client, 0));

    // One more frame makes it readable; the single consumer's take finds
    // it, and the level drops again.
    SendNumbered(srv, total, 1);
    ASSERT_TRUE(Readable(client, static_cast<int>(Patient(kSoon).count())));
    EXPECT_TRUE(Readable(client, 0)) << "a wait must not reset the handle";
    const std::optional<Bytes> last = TakeBody(client, milliseconds(0));
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(*last, NumberedBody(total));
    EXPECT_FALSE(Readable(client, 0));
    std::cout << "four consumers: " << total << " PDUs, " << wakeUps.load() << " wake-ups, "
              << emptyTakes.load() << " found nothing" << std::endl;
}

// What the peer read, frame by frame, once it starts reading.
std::vector<Bytes> ReadFrames(LoopbackServer& srv, std::size_t count) {
    std::vector<Bytes> bodies;
    while (bodies.size() < count) {
        std::optional<Bytes> body = ReadFrame(srv, 0, Patient(kSoon));
        if (!body) {
            break;
        }
        bodies.push_back(std::move(*body));
    }
    return bodies;
}

TEST(SendPduWait, WaitsForRoomAtAPeerThatStopsReading) {
    constexpr std::size_t kEntries = 16;
    constexpr std::size_t kBytes = 64 * 1024;
    constexpr unsigned int kBody = 6000;
    LoopbackServer srv;
    PollableClient client;
    ASSERT_TRUE(StartClient(client, srv));
    client.SetSendQueueLimit(kEntries);
    client.SetSendQueueByteLimit(kBytes);

    // Fill the socket buffers and the queue: the waits that run out of time
    // queue nothing and count one refusal each.
    std::vector<Bytes> accepted;
    int timedOut = 0;
    std::size_t mostBytes = 0;
    std::size_t mostEntries = 0;
    while (timedOut < 3) {
        Bytes body = Pattern(kBody, static_cast<unsigned int>(accepted.size()));
        const std::size_t queuedBefore = client.GetSendQueueLength();
        const auto start = Clock::now();
        const int result = client.SendPduWait(body.data(), kBody, 100);
        if (result == 0) {
            accepted.push_back(std::move(body));
        } else {
            ASSERT_EQ(result, KavraClientThread::SEND_QUEUE_FULL);
            EXPECT_GE(Clock::now() - start, milliseconds(100));
            EXPECT_LE(client.GetSendQueueLength(), queuedBefore);
            ++timedOut;
        }
        mostBytes = std::max(mostBytes, client.GetSendQueueBytes());
        mostEntries = std::max(mostEntries, client.GetSendQueueLength());
        ASSERT_LT(accepted.size(), 100'000U) << "the peer's buffers never filled";
    }
    EXPECT_LE(mostBytes, kBytes);
    EXPECT_LE(mostEntries, kEntries);
    EXPECT_EQ(client.GetStats().sendQueueFull, 3U);

    // A sender waits without a limit; the peer reads again, which makes room.
    Bytes waiting = Pattern(kBody, 999'999);
    std::atomic<int> waitResult{-1};
    std::jthread sender([&] {
        waitResult.store(client.SendPduWait(waiting.data(), kBody, 0xFFFFFFFFU));
    });
    std::vector<Bytes> read = ReadFrames(srv, accepted.size() + 1);
    sender.join();
    EXPECT_EQ(waitResult.load(), 0);
    accepted.push_back(waiting);
    ASSERT_EQ(read.size(), accepted.size());
    EXPECT_TRUE(read == accepted) << "the peer did not read exactly what was accepted, in order";

    EXPECT_EQ(client.GetStats().SendDropped(), 0U);
}

TEST(SendPduWait, AStopEndsTheWait) {
    LoopbackServer srv;
    PollableClient client;
    CServerStatus server("127.0.0.1", srv.Port());
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    client.SetSendQueueLimit(1);
    const Bytes body = Pattern(100, 1);
    // No worker runs yet: the queued entry stays, and so does the limit.
    ASSERT_EQ(client.SendPdu(body.data(), 100), 0);
    EXPECT_EQ(client.SendPduWait(body.data(), 100, 50), KavraClientThread::SEND_QUEUE_FULL);
    // Whether the stop comes before or during the wait, the wait returns 1.
    std::jthread stopper([&] { client.Quit(); });
    EXPECT_EQ(client.SendPduWait(body.data(), 100, 0xFFFFFFFFU), 1);
    EXPECT_EQ(client.GetSendQueueLength(), 1U);
}

} // namespace
} // namespace kavra::test
