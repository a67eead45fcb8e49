// A peer that never reads while the application keeps sending: what the
// send queue and the process's memory do, without and with a limit. The
// figures are printed for the documentation; the checks hold the shape
// (growth with every accepted PDU, or none past the limit), not a speed.
#include "ReliabilityUtil.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>

namespace kavra::test {
namespace {

constexpr unsigned int kSends = 50'000;
constexpr unsigned int kBodySize = 8 * 1024;

struct Outcome {
    unsigned int accepted = 0;
    unsigned int refused = 0;
    std::size_t queued = 0;
    std::uint64_t framesWritten = 0;
    // Dropped when a slow run let a write time out inside a frame, which
    // closes the connection.
    std::uint64_t dropped = 0;
    double rssGrowthMiB = 0;
};

// Sends kSends bodies of kBodySize to a peer that does not read, then
// measures. The connection is reset at the end so that the worker's pending
// writes fail at once and the teardown is quick.
Outcome SendToUnreadPeer(std::size_t limit) {
    Outcome outcome;
    auto srv = std::make_unique<LoopbackServer>();
    OpenClient client;
    EXPECT_TRUE(StartClient(client, *srv));
    client.SetSendQueueLimit(limit);

    const Bytes body = Pattern(kBodySize, 1);
    const std::uint64_t rssBefore = ResidentKiB();
    for (unsigned int i = 0; i < kSends; ++i) {
        const int result = client.SendPdu(body.data(), kBodySize);
        if (result == 0) {
            ++outcome.accepted;
        } else if (result == KavraClientThread::SEND_QUEUE_FULL) {
            ++outcome.refused;
        }
    }
    const std::uint64_t rssAfter = ResidentKiB();
    outcome.queued = client.GetSendQueueLength();
    const ConnectionStats stats = client.GetStats();
    // Frames the socket holds back have left the queue as well.
    outcome.framesWritten = stats.framesSent + stats.sendBuffered;
    outcome.dropped = stats.SendDropped();
    outcome.rssGrowthMiB = static_cast<double>(rssAfter - rssBefore) / 1024.0;

    srv.reset();
    client.Destroy();
    std::cout << "unread peer, send-queue limit " << limit << ": " << kSends << " x " << kBodySize
              << " B offered, " << outcome.accepted << " accepted, " << outcome.refused
              << " refused; " << outcome.queued << " entries queued, " << outcome.framesWritten
              << " frames written into the socket buffers; RSS +" << outcome.rssGrowthMiB
              << " MiB\n";
    ::testing::Test::RecordProperty("queued", static_cast<int>(outcome.queued));
    ::testing::Test::RecordProperty("rssGrowthKiB", static_cast<int>(rssAfter - rssBefore));
    return outcome;
}

TEST(UnreadPeer, DefaultQueueGrowsWithEveryAcceptedPdu) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizers' allocators hide the growth being measured";
    }
    const Outcome outcome = SendToUnreadPeer(0);
    EXPECT_EQ(outcome.accepted, kSends);
    EXPECT_EQ(outcome.refused, 0U);
    // Everything the socket buffers did not take is still queued, in memory.
    EXPECT_GE(outcome.queued + outcome.framesWritten + outcome.dropped + 1, kSends);
    const double queuedMiB = static_cast<double>(outcome.queued) * kBodySize / (1024.0 * 1024.0);
    // Less whatever earlier tests in the same process freed and the
    // allocator kept resident for reuse.
    EXPECT_GE(outcome.rssGrowthMiB, 0.8 * queuedMiB);
}

TEST(UnreadPeer, LimitKeepsTheQueueAndMemoryFlat) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizers' allocators hide the growth being measured";
    }
    constexpr std::size_t kLimit = 1000;
    const Outcome outcome = SendToUnreadPeer(kLimit);
    EXPECT_LE(outcome.queued, kLimit);
    EXPECT_EQ(outcome.accepted + outcome.refused, kSends);
    EXPECT_LE(outcome.accepted, kLimit + outcome.framesWritten + outcome.dropped + 1);
    EXPECT_GT(outcome.refused, kSends / 2);
    // The limit's worth of bodies plus allocator slack.
    EXPECT_LT(outcome.rssGrowthMiB, 2.0 * kLimit * kBodySize / (1024.0 * 1024.0) + 16.0);
}

} // namespace
} // namespace kavra::test
