// Every block a client allocates on the way through, counted by the library
// itself (so on Windows, where it is a DLL, and under the sanitizers too):
// each send copy and each received PDU, object and body, is released exactly
// once, whether it was written and consumed, dropped at a dead connection, or
// still queued when the client goes.
#include "ClientTestUtil.h"

#include "support/BlockTracker.h"

#include <gtest/gtest.h>

#include <thread>

namespace kavra::test {
namespace {

constexpr unsigned int kEchoed = 300;
constexpr unsigned int kLeftQueued = 20;
constexpr unsigned int kDropped = 10;

Bytes BodyNumber(unsigned int i) {
    return Pattern(1 + (i * 997U) % KavraClientThread::MAX_PDU_LENGTH, i);
}

TEST(BlockAccounting, EverySendCopyAndReceivedPduIsReleasedExactlyOnce) {
    BlockTracker tracker;
    LoopbackServer srv;
    ConnectionStats stats;
    {
        KeepingClient client;
        ASSERT_TRUE(StartClient(client, srv));
        // The peer echoes every frame; the last kLeftQueued echoes are never
        // taken, so the client's destructor releases them.
        std::thread echo([&srv] {
            for (unsigned int i = 0; i < kEchoed + kLeftQueued; ++i) {
                const std::optional<Bytes> body = ReadFrame(srv, 0);
                if (!body || !srv.Send(0, FrameBytes(*body))) {
                    return;
                }
            }
        });
        for (unsigned int i = 0; i < kEchoed + kLeftQueued; ++i) {
            const Bytes body = BodyNumber(i);
            EXPECT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
            if (i < kEchoed) {
                EXPECT_EQ(TakeBody(client), body) << "PDU " << i;
            }
        }
        EXPECT_TRUE(WaitUntil([&] { return client.GetReceiveQueueLength() == kLeftQueued; }));
        echo.join();

        // With the connection gone, the worker drops what it is given.
        srv.CloseConnection(0);
        EXPECT_TRUE(WaitUntil([&] { return !client.IsConnected(); }));
        const Bytes late = BodyNumber(0);
        for (unsigned int i = 0; i < kDropped; ++i) {
            EXPECT_EQ(client.SendPdu(late.data(), static_cast<unsigned int>(late.size())), 0);
        }
        EXPECT_TRUE(
            WaitUntil([&] { return client.GetStats().sendDroppedDisconnected == kDropped; }));
        stats = client.GetStats();
    }

    EXPECT_EQ(stats.pdusAccepted, kEchoed + kLeftQueued + kDropped);
    EXPECT_EQ(stats.framesReceived, kEchoed + kLeftQueued);
    EXPECT_EQ(tracker.Of(BlockKind::SendCopy).allocations, stats.pdusAccepted);
    EXPECT_EQ(tracker.Of(BlockKind::PduObject).allocations, stats.framesReceived);
    EXPECT_GE(tracker.Of(BlockKind::PduBody).allocations, stats.framesReceived);
    for (BlockKind kind : {BlockKind::PduObject, BlockKind::HeaderObject, BlockKind::PduBody,
                           BlockKind::ByteBuffer, BlockKind::SendCopy}) {
        const BlockTracker::Counts counts = tracker.Of(kind);
        const int k = static_cast<int>(kind);
        EXPECT_EQ(counts.releases, counts.allocations) << "kind " << k;
        EXPECT_EQ(counts.foreign, 0u) << "kind " << k << " released twice";
        EXPECT_EQ(counts.live, 0u) << "kind " << k << " never released";
        EXPECT_EQ(counts.doubled, 0u) << "kind " << k << " handed out twice";
    }
}

} // namespace
} // namespace kavra::test
