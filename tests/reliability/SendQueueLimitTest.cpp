// The opt-in high-water mark of the send queue: refusals at the limit, what a
// refusal leaves behind (nothing), acceptance once the worker drains, the
// order of the other results, and the unbounded default.
#include "client/ClientTestUtil.h"
#include "support/StartGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kavra::test {
namespace {

// Holds every send notification until the test opens the gate, so entries
// pile up in the send queue (the held worker has not taken any yet); counts
// the notifications the worker handled.
class HeldClient : public OpenClient {
public:
    ~HeldClient() override {
        Open();
        Destroy();
    }
    void Open() {
        if (!m_opened.exchange(true)) {
            m_gate.set_value();
        }
    }
    int Notifications() const { return m_notifications.load(); }

protected:
    void OnSendQueuePush() override {
        m_gateFuture.wait_for(Patient(std::chrono::seconds(20)));
        OpenClient::OnSendQueuePush();
        m_notifications.fetch_add(1);
    }

private:
    std::promise<void> m_gate;
    std::shared_future<void> m_gateFuture = m_gate.get_future().share();
    std::atomic<bool> m_opened{false};
    std::atomic<int> m_notifications{0};
};

// All frames on connection 0: once the worker has written `written`
// frames, the queue has room for the marker, which follows them.
std::vector<Bytes> AllFrames(LoopbackServer& srv, HeldClient& client, std::uint64_t written) {
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == written; }));
    EXPECT_EQ(client.SendPdu(kMarker.data(), static_cast<unsigned int>(kMarker.size())), 0);
    return FramesBeforeMarker(srv, 0);
}

TEST(SendQueueLimit, DefaultIsUnlimited) {
    LoopbackServer srv;
    HeldClient client;
    ASSERT_TRUE(StartClient(client, srv));
    EXPECT_EQ(client.GetSendQueueLimit(), 0U);

    // Far more than any limit a test would set; all wait behind the gate.
    constexpr unsigned int kCount = 5000;
    const Bytes body = Pattern(16, 1);
    for (unsigned int i = 0; i < kCount; ++i) {
        ASSERT_EQ(client.SendPdu(body.data(), 16), 0) << "entry " << i;
    }
    EXPECT_EQ(client.GetSendQueueLength(), kCount);
    EXPECT_EQ(client.GetStats().sendQueueFull, 0U);

    client.Open();
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == kCount; }));
    EXPECT_EQ(client.GetSendQueueLength(), 0U);
}

TEST(SendQueueLimit, RefusalAtTheLimitQueuesAndPostsNothing) {
    LoopbackServer srv;
    HeldClient client;
    ASSERT_TRUE(StartClient(client, srv));
    client.SetSendQueueLimit(3);
    EXPECT_EQ(client.GetSendQueueLimit(), 3U);

    const std::vector<Bytes> accepted = {Pattern(5, 10), Pattern(6, 11), Pattern(7, 12)};
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        ASSERT_EQ(client.SendPdu(accepted[i].data(), static_cast<unsigned int>(accepted[i].size())),
                  0);
    }
    EXPECT_EQ(client.GetSendQueueLength(), 3U);

    const Bytes refused = Pattern(9, 14);
    EXPECT_EQ(client.SendPdu(refused.data(), 9), KavraClientThread::SEND_QUEUE_FULL);
    EXPECT_EQ(client.SendPdu(refused.data(), 9), KavraClientThread::SEND_QUEUE_FULL);
    EXPECT_EQ(client.GetSendQueueLength(), 3U);
    EXPECT_EQ(client.GetStats().sendQueueFull, 2U);

    // Three notifications for three entries and one for the marker: the
    // refusals posted none, and only the accepted bodies reach the wire, in
    // order. A refusal's notification would be handled before the marker's.
    client.Open();
    EXPECT_EQ(AllFrames(srv, client, 3), accepted);
    EXPECT_TRUE(WaitUntil([&] { return client.Notifications() >= 4; }));
    EXPECT_EQ(client.Notifications(), 4);
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == 4; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.SendDropped(), 0U);
    EXPECT_EQ(stats.sendQueueFull, 2U);
}

TEST(SendQueueLimit, AcceptsAgainOnceTheWorkerHasDrained) {
    LoopbackServer srv;
    HeldClient client;
    ASSERT_TRUE(StartClient(client, srv));
    client.SetSendQueueLimit(2);

    const Bytes body = Pattern(4, 20);
    ASSERT_EQ(client.SendPdu(body.data(), 4), 0);
    ASSERT_EQ(client.SendPdu(body.data(), 4), 0);
    ASSERT_EQ(client.SendPdu(body.data(), 4), KavraClientThread::SEND_QUEUE_FULL);

    client.Open();
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == 2; }));
    EXPECT_EQ(client.GetSendQueueLength(), 0U);

    const Bytes later = Pattern(11, 21);
    EXPECT_EQ(client.SendPdu(later.data(), 11), 0);
    EXPECT_EQ(client.SendPdu(later.data(), 11), 0);
    const std::vector<Bytes> frames = AllFrames(srv, client, 4);
    ASSERT_EQ(frames.size(), 4U);
    EXPECT_EQ(frames[2], later);
    EXPECT_EQ(frames[3], later);
    EXPECT_EQ(client.GetStats().sendQueueFull, 1U);
}

TEST(SendQueueLimit, LoweredBelowTheQueueRefusesUntilDrainedBelowIt) {
    LoopbackServer srv;
    HeldClient client;
    ASSERT_TRUE(StartClient(client, srv));

    const Bytes body = Pattern(3, 30);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(client.SendPdu(body.data(), 3), 0);
    }
    client.SetSendQueueLimit(2);
    EXPECT_EQ(client.SendPdu(body.data(), 3), KavraClientThread::SEND_QUEUE_FULL);
    EXPECT_EQ(client.GetSendQueueLength(), 5U);

    // Back to unlimited: accepted at once, with the queue still above 2.
    client.SetSendQueueLimit(0);
    EXPECT_EQ(client.SendPdu(body.data(), 3), 0);
    EXPECT_EQ(client.GetSendQueueLength(), 6U);

    client.Open();
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == 6; }));
    EXPECT_EQ(client.GetStats().sendQueueFull, 1U);
}

TEST(SendQueueLimit, MissingSocketAndArgumentErrorsComeFirst) {
    OpenClient detached;
    detached.SetSendQueueLimit(1);
    const Bytes body = Pattern(2, 40);
    EXPECT_EQ(detached.SendPdu(body.data(), 2), 1);
    EXPECT_EQ(detached.SendPdu(nullptr, 2), 1);

    LoopbackServer srv;
    HeldClient client;
    ASSERT_TRUE(StartClient(client, srv));
    client.SetSendQueueLimit(1);
    ASSERT_EQ(client.SendPdu(body.data(), 2), 0);
    ASSERT_EQ(client.SendPdu(body.data(), 2), KavraClientThread::SEND_QUEUE_FULL);

    // With the queue at its limit the argument errors still throw.
    EXPECT_THROW(client.SendPdu(nullptr, 2), std::invalid_argument);
    const Bytes tooBig(KavraClientThread::MAX_PDU_LENGTH + 1, 0x01);
    EXPECT_THROW(client.SendPdu(tooBig.data(), static_cast<unsigned int>(tooBig.size())),
                 std::out_of_range);
    EXPECT_EQ(client.GetStats().sendQueueFull, 1U);
    EXPECT_EQ(client.GetSendQueueLength(), 1U);
}

TEST(SendQueueLimit, ConcurrentSendersNeverOvershootTheLimit) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    constexpr std::size_t kLimit = 50;

    LoopbackServer srv;
    HeldClient client;
    ASSERT_TRUE(StartClient(client, srv));
    client.SetSendQueueLimit(kLimit);
    const Bytes body = Pattern(8, 50);

    std::atomic<int> accepted{0};
    std::atomic<int> refused{0};
    std::atomic<int> other{0};
    StartGate start(kThreads);
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&] {
            start.ArriveAndWait();
            for (int i = 0; i < kPerThread; ++i) {
                const int result = client.SendPdu(body.data(), 8);
                if (result == 0) {
                    accepted.fetch_add(1);
                } else if (result == KavraClientThread::SEND_QUEUE_FULL) {
                    refused.fetch_add(1);
                } else {
                    other.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    EXPECT_EQ(accepted.load(), static_cast<int>(kLimit));
    EXPECT_EQ(refused.load(), kThreads * kPerThread - static_cast<int>(kLimit));
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(client.GetSendQueueLength(), kLimit);
    EXPECT_EQ(client.GetStats().sendQueueFull, static_cast<std::uint64_t>(refused.load()));

    client.Open();
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == kLimit; }));
    EXPECT_EQ(client.Notifications(), static_cast<int>(kLimit));
}

// The byte limit, reached by senders racing for its last bytes: the check
// under the lock lets exactly the PDUs in that fit, each refusal is counted
// once, and every accepted PDU reaches the peer once, in its sender's order.
TEST(SendQueueLimit, ConcurrentSendersFillTheByteLimitExactlyAndEachPduIsAccountedFor) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    constexpr unsigned int kBody = 8;
    constexpr std::size_t kFit = 50;

    LoopbackServer srv;
    HeldClient client;
    ASSERT_TRUE(StartClient(client, srv));
    client.SetSendQueueByteLimit(kFit * kBody);

    std::vector<std::vector<Bytes>> accepted(kThreads);
    std::atomic<int> refused{0};
    StartGate start(kThreads);
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            start.ArriveAndWait();
            for (int i = 0; i < kPerThread; ++i) {
                // Sender and number in front: every body is distinct.
                Bytes body = Pattern(kBody, static_cast<unsigned int>(i));
                body[0] = static_cast<unsigned char>(t);
                body[1] = static_cast<unsigned char>(i);
                const int result = client.SendPdu(body.data(), kBody);
                if (result == 0) {
                    accepted[static_cast<std::size_t>(t)].push_back(body);
                } else {
                    EXPECT_EQ(result, KavraClientThread::SEND_QUEUE_FULL);
                    refused.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    EXPECT_EQ(client.GetSendQueueBytes(), kFit * kBody);
    EXPECT_EQ(client.GetSendQueueLength(), kFit);
    EXPECT_EQ(refused.load(), kThreads * kPerThread - static_cast<int>(kFit));

    client.Open();
    const std::vector<Bytes> frames = AllFrames(srv, client, kFit);
    ASSERT_EQ(frames.size(), kFit);
    // Each sender's accepted bodies come in its own order among the frames.
    for (const std::vector<Bytes>& own : accepted) {
        std::size_t next = 0;
        for (const Bytes& frame : frames) {
            if (next < own.size() && frame == own[next]) {
                ++next;
            }
        }
        EXPECT_EQ(next, own.size());
    }
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == kFit + 1; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.pdusAccepted, kFit + 1);
    EXPECT_EQ(stats.pdusAccepted,
              stats.framesSent + stats.SendDropped() + stats.sendQueued + stats.sendBuffered);
    EXPECT_EQ(stats.sendQueueFull, static_cast<std::uint64_t>(refused.load()));
    EXPECT_EQ(client.GetSendQueueBytes(), 0U);
}

} // namespace
} // namespace kavra::test
