// The worker holds frames that wait together in its socket and writes them
// in one system call. These cases check that this never costs a frame its
// promptness (nothing may stay held once the worker stops writing) and that
// a burst written together still arrives whole and in order.
#include "ClientTestUtil.h"
#include "support/Slowdown.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kavra::test {
namespace {

// A frame left held would wait for the next write, which these cases never
// make; a scheduling hiccup on a loaded machine slows a round now and then,
// a held frame every round: the median tells them apart.
const milliseconds kPrompt = Patient(milliseconds(150));

milliseconds Median(std::vector<milliseconds> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Holds its worker inside one message until the test opens the gate, so that
// the test can decide what waits in the queue when the worker resumes.
class GatedClient : public OpenClient {
public:
    static constexpr unsigned int MSG_HOLD = 5001;
    static constexpr unsigned int MSG_NOTHING = 5002;

    ~GatedClient() override {
        Open();
        Destroy();
    }

    void HoldWorker() {
        PostMessageA(MSG_HOLD, 0, 0);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_held; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

protected:
    long DispatchMessageA(const MSG* msg) override {
        if (msg->message == MSG_NOTHING) {
            return 1;
        }
        if (msg->message != MSG_HOLD) {
            return OpenClient::DispatchMessageA(msg);
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_held = true;
        m_open = false;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
        m_held = false;
        return 1;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_open = false;
};

class SendCoalescing : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartClient(client, srv)); }

    // Milliseconds from now until the next frame arrives whole; the body
    // goes to *body.
    milliseconds TimeNextFrame(Bytes* body) {
        const auto start = Clock::now();
        const std::optional<Bytes> frame = ReadFrame(srv, 0);
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        if (frame) {
            *body = *frame;
        }
        return took;
    }

    LoopbackServer srv;
    GatedClient client;
};

TEST_F(SendCoalescing, AFrameSentAloneLeavesPromptly) {
    std::vector<milliseconds> times;
    for (unsigned int i = 0; i < 5; ++i) {
        const Bytes body = Pattern(40 + i, i);
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
        Bytes got;
        times.push_back(TimeNextFrame(&got));
        EXPECT_EQ(got, body);
    }
    EXPECT_LT(Median(times), kPrompt);
}

// The worker writes the frame while another message still waits, so it
// holds it; the batch ends right after that message and must write the
// frame out before the worker goes to sleep.
TEST_F(SendCoalescing, AFrameWrittenWhileMessagesWaitedLeavesWhenTheBatchEnds) {
    std::vector<milliseconds> times;
    for (unsigned int i = 0; i < 5; ++i) {
        client.HoldWorker();
        const Bytes body = Pattern(100, 7 + i);
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
        ASSERT_EQ(client.PostMessageA(GatedClient::MSG_NOTHING, 0, 0), 1);
        client.Open();
        Bytes got;
        times.push_back(TimeNextFrame(&got));
        EXPECT_EQ(got, body);
    }
    EXPECT_LT(Median(times), kPrompt);
    // The worker counts a frame after its write returns, which may be after
    // the peer already has it.
    EXPECT_TRUE(WaitUntil([this] { return client.GetStats().framesSent == 5U; }));
    EXPECT_EQ(client.GetStats().SendDropped(), 0U);
}

// More frames than one dispatch batch takes wait at once, of sizes that fill
// the socket's buffer at every kind of offset; they arrive intact.
TEST_F(SendCoalescing, AQueuedBurstArrivesWholeAndInOrder) {
    constexpr unsigned int kFrames = 300;
    const std::vector<std::size_t> sizes = {1, 64, 1000, 8812, 13, 1448, 4096, 2};
    std::vector<Bytes> bodies;
    client.HoldWorker();
    for (unsigned int i = 0; i < kFrames; ++i) {
        bodies.push_back(Pattern(sizes[i % sizes.size()], i));
        ASSERT_EQ(
            client.SendPdu(bodies.back().data(), static_cast<unsigned int>(bodies.back().size())),
            0);
    }
    client.Open();
    for (unsigned int i = 0; i < kFrames; ++i) {
        const std::optional<Bytes> got = ReadFrame(srv, 0);
        ASSERT_TRUE(got.has_value()) << "frame " << i;
        ASSERT_EQ(*got, bodies[i]) << "frame " << i;
    }
    ASSERT_EQ(client.SendPdu(kMarker.data(), static_cast<unsigned int>(kMarker.size())), 0);
    EXPECT_EQ(FramesBeforeMarker(srv, 0), std::vector<Bytes>{});
    EXPECT_TRUE(WaitUntil([this] { return client.GetStats().framesSent == kFrames + 1; }));
    EXPECT_EQ(client.GetStats().SendDropped(), 0U);
}

// An application thread keeps sending while the worker drains: whatever the
// queue holds at each moment, the peer sees every frame once, in order, and
// the last one does not linger.
TEST_F(SendCoalescing, AStreamingSenderLosesNothingAndTheLastFrameIsNotHeld) {
    constexpr unsigned int kFrames = 2000;
    std::vector<Bytes> bodies;
    for (unsigned int i = 0; i < kFrames; ++i) {
        bodies.push_back(Pattern(8 + (i * 37U) % 300U, i));
    }
    std::thread sender([this, &bodies] {
        for (const Bytes& body : bodies) {
            client.SendPdu(body.data(), static_cast<unsigned int>(body.size()));
        }
    });
    for (unsigned int i = 0; i + 1 < kFrames; ++i) {
        const std::optional<Bytes> got = ReadFrame(srv, 0);
        ASSERT_TRUE(got.has_value()) << "frame " << i;
        ASSERT_EQ(*got, bodies[i]) << "frame " << i;
    }
    sender.join();
    Bytes last;
    const milliseconds took = TimeNextFrame(&last);
    EXPECT_EQ(last, bodies.back());
    EXPECT_LT(took, kPrompt);
}

} // namespace
} // namespace kavra::test
