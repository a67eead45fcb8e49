// The client object itself: message routing, ownership of queued entries on
// destruction, handlers that throw, and reconnection.
#include "ClientTestUtil.h"

#include <gtest/gtest.h>

#include <kavra/base/CBaseThread.h>
#include <kavra/base/CSocket.h>

#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

namespace kavra::test {
namespace {

static_assert(!std::is_copy_constructible_v<KavraClientThread>);
static_assert(!std::is_copy_assignable_v<KavraClientThread>);
static_assert(std::has_virtual_destructor_v<KavraClientThread>);

MSG Message(unsigned int id, std::uintptr_t wParam = 0, std::intptr_t lParam = 0) {
    MSG msg{};
    msg.message = id;
    msg.wParam = wParam;
    msg.lParam = lParam;
    return msg;
}

// Counts handler calls instead of running the default handlers.
class CountingClient : public OpenClient {
public:
    ~CountingClient() override { Destroy(); }
    int SendCalls() const { return m_sendCalls.load(); }
    int ReceiveCalls() const { return m_receiveCalls.load(); }

protected:
    void OnSendQueuePush() override { m_sendCalls.fetch_add(1); }
    void OnReceiveQueuePush() override { m_receiveCalls.fetch_add(1); }

private:
    std::atomic<int> m_sendCalls{0};
    std::atomic<int> m_receiveCalls{0};
};

TEST(Construction, StartsEmptyWithoutThreadOrSocket) {
    OpenClient client;
    EXPECT_EQ(client.GetSocket(), nullptr);
    EXPECT_FALSE(client.IsRunning());
    EXPECT_EQ(client.GetSendQueueLength(), 0U);
    EXPECT_EQ(client.GetReceiveQueueLength(), 0U);
    EXPECT_EQ(client.GetReceiveCount(), 0);
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.pdusAccepted + stats.framesSent + stats.bytesSent + stats.SendDropped() +
                  stats.sendQueued + stats.sendBuffered + stats.framesRead + stats.framesReceived +
                  stats.bytesReceived + stats.receiveDropsQueueFull + stats.badHeaders +
                  stats.resyncBytesDiscarded + stats.reconnections,
              0U);
}

TEST(Dispatch, QueueMessagesCallTheirHandlerOnceAndReturnOne) {
    CountingClient client;
    MSG send = Message(KavraClientThread::MSG_SEND_QUEUE_PUSH);
    EXPECT_EQ(client.DispatchMessageA(&send), 1);
    EXPECT_EQ(client.SendCalls(), 1);
    EXPECT_EQ(client.ReceiveCalls(), 0);

    MSG receive = Message(KavraClientThread::MSG_RECEIVE_QUEUE_PUSH);
    EXPECT_EQ(client.DispatchMessageA(&receive), 1);
    EXPECT_EQ(client.SendCalls(), 1);
    EXPECT_EQ(client.ReceiveCalls(), 1);

    // Only the identifier counts, not the parameters.
    MSG sendWithParams = Message(4025, 7, -3);
    EXPECT_EQ(client.DispatchMessageA(&sendWithParams), 1);
    EXPECT_EQ(client.SendCalls(), 2);
    EXPECT_EQ(client.ReceiveCalls(), 1);
}

TEST(Dispatch, NeighbouringAndOtherMessagesGoToTheBase) {
    CountingClient client;
    for (unsigned int id : {4024U, 4027U, 0U, 1U, 4025U + 0x10000U, 0xFFFFFFFFU}) {
        MSG msg = Message(id);
        EXPECT_EQ(client.DispatchMessageA(&msg), client.BaseDispatch(&msg)) << id;
        EXPECT_EQ(client.DispatchMessageA(&msg), 0) << id;
    }
    EXPECT_EQ(client.SendCalls(), 0);
    EXPECT_EQ(client.ReceiveCalls(), 0);
}

TEST(Dispatch, DefaultHandlersOnEmptyQueuesStillReturnOne) {
    OpenClient client;
    MSG send = Message(KavraClientThread::MSG_SEND_QUEUE_PUSH);
    MSG receive = Message(KavraClientThread::MSG_RECEIVE_QUEUE_PUSH);
    EXPECT_EQ(client.DispatchMessageA(&send), 1);
    EXPECT_EQ(client.DispatchMessageA(&receive), 1);
    EXPECT_EQ(client.GetSendQueueLength(), 0U);
    EXPECT_EQ(client.GetReceiveQueueLength(), 0U);
}

TEST(Dispatch, DefaultReceiveHandlerDiscardsTheOldestOnly) {
    OpenClient client;
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(Pattern(4, 1))), 1);
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(Pattern(4, 2))), 1);
    EXPECT_EQ(client.GetReceiveCount(), 2);

    MSG receive = Message(KavraClientThread::MSG_RECEIVE_QUEUE_PUSH);
    EXPECT_EQ(client.DispatchMessageA(&receive), 1);
    EXPECT_EQ(client.GetReceiveQueueLength(), 1U);
    // The handler leaves the counter alone.
    EXPECT_EQ(client.GetReceiveCount(), 2);

    EXPECT_EQ(TakeBody(client, milliseconds(0)), Pattern(4, 2));
    // One unit is left over: the wait passes and finds the queue empty.
    Bytes destination(16, 0xCD);
    EXPECT_EQ(client.GetMessageA(destination.data(), 0), 1);
    EXPECT_EQ(destination, Bytes(16, 0xCD));
    EXPECT_EQ(client.GetReceiveCount(), 0);
}

TEST(Dispatch, ReplacedReceiveHandlerRunsInsteadOfTheDefault) {
    KeepingClient client;
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(Pattern(4, 3))), 1);
    MSG receive = Message(KavraClientThread::MSG_RECEIVE_QUEUE_PUSH);
    EXPECT_EQ(client.DispatchMessageA(&receive), 1);
    EXPECT_EQ(client.ReceiveNotifications(), 1);
    EXPECT_EQ(client.GetReceiveQueueLength(), 1U);
    EXPECT_EQ(TakeBody(client, milliseconds(0)), Pattern(4, 3));
}

TEST(Dispatch, ReceivePushQueuesCountsAndNotifies) {
    OpenClient client;
    ASSERT_EQ(client.ReceivePush(NewOwningPdu(Pattern(4, 4))), 1);
    EXPECT_EQ(client.GetReceiveQueueLength(), 1U);
    EXPECT_EQ(client.GetReceiveCount(), 1);
    MSG posted{};
    ASSERT_EQ(client.PeekMessageA(&posted, 0, 0, PM_REMOVE), 1);
    EXPECT_EQ(posted.message, KavraClientThread::MSG_RECEIVE_QUEUE_PUSH);
    EXPECT_EQ(posted.wParam, 0U);
    EXPECT_EQ(posted.lParam, 0);
    EXPECT_EQ(client.PeekMessageA(&posted, 0, 0, PM_REMOVE), 0);
}

// Opens the worker's side of the send queue to the test.
class KeepingSendClient : public OpenClient {
public:
    using KavraClientThread::KeepSendEntry;
    using KavraClientThread::OnSocketConnect;
    using KavraClientThread::TakeSendEntry;
};

TEST(Dispatch, SendNotificationsArePostedWithBothParametersZero) {
    LoopbackServer srv;
    KeepingSendClient client;
    CServerStatus server("127.0.0.1", srv.Port());
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    const auto expectOnePosted = [&](const char* by) {
        MSG posted{};
        ASSERT_EQ(client.PeekMessageA(&posted, 0, 0, PM_REMOVE), 1) << by;
        EXPECT_EQ(posted.message, KavraClientThread::MSG_SEND_QUEUE_PUSH) << by;
        EXPECT_EQ(posted.wParam, 0U) << by;
        EXPECT_EQ(posted.lParam, 0) << by;
        EXPECT_EQ(client.PeekMessageA(&posted, 0, 0, PM_REMOVE), 0) << by;
    };
    const Bytes body = Pattern(3, 5);
    ASSERT_EQ(client.SendPdu(body.data(), 3), 0);
    expectOnePosted("SendPdu");
    client.KeepSendEntry(client.TakeSendEntry());
    expectOnePosted("an entry kept on a live connection");
    client.GetSocket()->Close();
    client.KeepSendEntry(client.TakeSendEntry());
    MSG none{};
    EXPECT_EQ(client.PeekMessageA(&none, 0, 0, PM_REMOVE), 0);
    client.OnSocketConnect(0);
    expectOnePosted("an entry that waited for the connection");
}

// ---- ownership on destruction ----------------------------------------------

// Records every destruction by id, so a PDU destroyed twice or never shows.
class DestructionLog {
public:
    static void Reset() {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_destroyed.clear();
    }
    static void Record(int id) {
        std::lock_guard<std::mutex> lock(s_mutex);
        ++s_destroyed[id];
    }
    static std::map<int, int> Snapshot() {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_destroyed;
    }
    static std::map<int, int> EachOnce(int count) {
        std::map<int, int> expected;
        for (int id = 0; id < count; ++id) {
            expected[id] = 1;
        }
        return expected;
    }

private:
    static inline std::mutex s_mutex;
    static inline std::map<int, int> s_destroyed;
};

class CountingPdu : public KavraPDU {
public:
    explicit CountingPdu(int id) : m_id(id) {
        CIPByteBuffer body;
        body.appendInt(id);
        setBody(body);
    }
    ~CountingPdu() override { DestructionLog::Record(m_id); }

private:
    int m_id;
};

// Handles a custom message by making and pushing a PDU on the worker, as the
// receive path would; keeps received PDUs queued.
class PushingClient : public KeepingClient {
public:
    static constexpr unsigned int MSG_MAKE_PDU = 5001;
    ~PushingClient() override { Destroy(); }

protected:
    long DispatchMessageA(const MSG* msg) override {
        if (msg->message == MSG_MAKE_PDU) {
            auto pdu = std::make_unique<CountingPdu>(static_cast<int>(msg->wParam));
            if (ReceivePush(pdu.get()) == 1) {
                static_cast<void>(pdu.release());
            }
            return 1;
        }
        return KeepingClient::DispatchMessageA(msg);
    }
};

// Leaves every send entry in the queue.
class HoldingSendClient : public OpenClient {
public:
    ~HoldingSendClient() override { Destroy(); }
    int SendCalls() const { return m_sendCalls.load(); }

protected:
    void OnSendQueuePush() override { m_sendCalls.fetch_add(1); }

private:
    std::atomic<int> m_sendCalls{0};
};

TEST(Destruction, QueuedPdusAreDestroyedExactlyOnceWithoutAThread) {
    DestructionLog::Reset();
    {
        KeepingClient client;
        for (int id = 0; id < 7; ++id) {
            ASSERT_EQ(client.ReceivePush(new CountingPdu(id)), 1);
        }
        EXPECT_EQ(client.GetReceiveQueueLength(), 7U);
        EXPECT_TRUE(DestructionLog::Snapshot().empty());
    }
    EXPECT_EQ(DestructionLog::Snapshot(), DestructionLog::EachOnce(7));
}

TEST(Destruction, PdusPushedByTheWorkerAreDestroyedOnceByConsumerOrDestructor) {
    constexpr int kPdus = 12;
    DestructionLog::Reset();
    {
        PushingClient client;
        ASSERT_EQ(client.Create(), 1);
        for (int id = 0; id < kPdus; ++id) {
            ASSERT_EQ(
                client.PostMessageA(PushingClient::MSG_MAKE_PDU, static_cast<unsigned int>(id), 0),
                1);
        }
        ASSERT_TRUE(WaitUntil(
            [&] { return client.GetReceiveQueueLength() == static_cast<std::size_t>(kPdus); }));
        EXPECT_TRUE(WaitUntil([&] { return client.ReceiveNotifications() == kPdus; }));

        // Two taken by the consumer, in order; the rest stay for the destructor.
        for (int id = 0; id < 2; ++id) {
            Bytes destination(16, 0);
            ASSERT_EQ(client.GetMessageA(destination.data(), 1000), 0);
            EXPECT_EQ(ReadBigEndian(destination.data()), static_cast<std::uint32_t>(id));
        }
        EXPECT_EQ(DestructionLog::Snapshot(), DestructionLog::EachOnce(2));
    }
    EXPECT_EQ(DestructionLog::Snapshot(), DestructionLog::EachOnce(kPdus));
}

TEST(Destruction, DefaultHandlerDestroysEachPushedPduOnce) {
    constexpr int kPdus = 12;
    DestructionLog::Reset();

    class DiscardingPushingClient : public OpenClient {
    public:
        ~DiscardingPushingClient() override { Destroy(); }

    protected:
        long DispatchMessageA(const MSG* msg) override {
            if (msg->message == PushingClient::MSG_MAKE_PDU) {
                ReceivePush(new CountingPdu(static_cast<int>(msg->wParam)));
                return 1;
            }
            return OpenClient::DispatchMessageA(msg);
        }
    };

    DiscardingPushingClient client;
    ASSERT_EQ(client.Create(), 1);
    for (int id = 0; id < kPdus; ++id) {
        client.PostMessageA(PushingClient::MSG_MAKE_PDU, static_cast<unsigned int>(id), 0);
    }
    ASSERT_TRUE(WaitUntil(
        [&] { return DestructionLog::Snapshot().size() == static_cast<std::size_t>(kPdus); }));
    EXPECT_EQ(client.GetReceiveQueueLength(), 0U);
    EXPECT_EQ(DestructionLog::Snapshot(), DestructionLog::EachOnce(kPdus));
}

TEST(Destruction, QueuedSendBlocksAreReleasedWithARunningThread) {
    // Blocks left in the queue are freed by the destructor; the sanitizer
    // builds check that each is freed exactly once.
    LoopbackServer srv;
    {
        HoldingSendClient client;
        ASSERT_TRUE(StartClient(client, srv));
        for (unsigned int i = 0; i < 20; ++i) {
            const Bytes body = Pattern(1 + i * 37, i);
            ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
        }
        ASSERT_TRUE(WaitUntil([&] { return client.SendCalls() == 20; }));
        EXPECT_EQ(client.GetSendQueueLength(), 20U);
    }
    // Nothing of the held entries was ever written: the peer reads to the
    // close and finds nothing.
    EXPECT_TRUE(srv.ReceiveUntilQuiet(0, kSoon, kSoon).empty());
    EXPECT_TRUE(srv.WaitForClientClose(0, kSoon));
}

TEST(Destruction, QueuedSendBlocksAreReleasedWithoutAThread) {
    LoopbackServer srv;
    auto client = std::make_unique<OpenClient>();
    CServerStatus server("127.0.0.1", srv.Port());
    server.SetReconnect(false);
    ASSERT_EQ(client->SetSocket(nullptr, 0, &server), 1);
    for (unsigned int i = 0; i < 5; ++i) {
        const Bytes body = Pattern(10 + i, i);
        ASSERT_EQ(client->SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
    EXPECT_EQ(client->GetSendQueueLength(), 5U);
    client.reset();
    ASSERT_TRUE(srv.WaitForConnection(0, kSoon));
    EXPECT_TRUE(srv.WaitForClientClose(0, kSoon));
}

TEST(Destruction, DestructorStopsARunningThread) {
    LoopbackServer srv;
    const int threadsBefore = CBaseThread::RunningThreadCount();
    auto client = std::make_unique<KavraClientThread>();
    ASSERT_TRUE(StartClient(*client, srv));
    EXPECT_TRUE(client->IsRunning());
    EXPECT_EQ(CBaseThread::RunningThreadCount(), threadsBefore + 1);
    const Bytes body = Pattern(8, 9);
    ASSERT_EQ(client->SendPdu(body.data(), 8), 0);
    EXPECT_EQ(srv.Receive(0, 22, kSoon), FrameBytes(body));

    client.reset();
    EXPECT_EQ(CBaseThread::RunningThreadCount(), threadsBefore);
    EXPECT_TRUE(srv.WaitForClientClose(0, kSoon));
}

// ---- handlers that throw ---------------------------------------------------

// The first call of each handler throws after doing its work; the worker must
// survive both.
class ThrowingClient : public KeepingClient {
public:
    ~ThrowingClient() override { Destroy(); }

protected:
    void OnSendQueuePush() override {
        KeepingClient::OnSendQueuePush();
        if (m_sendCalls.fetch_add(1) == 0) {
            throw std::runtime_error("send handler failed");
        }
    }
    void OnReceiveQueuePush() override {
        KeepingClient::OnReceiveQueuePush();
        if (m_receiveCalls.fetch_add(1) == 0) {
            throw std::bad_alloc();
        }
    }

private:
    std::atomic<int> m_sendCalls{0};
    std::atomic<int> m_receiveCalls{0};
};

TEST(HandlerExceptions, WorkerSurvivesThrowingHandlers) {
    LoopbackServer srv;
    ThrowingClient client;
    ASSERT_TRUE(StartClient(client, srv));

    const Bytes first = Pattern(5, 80);
    const Bytes second = Pattern(6, 81);
    ASSERT_EQ(client.SendPdu(first.data(), 5), 0);
    ASSERT_EQ(client.SendPdu(second.data(), 6), 0);
    EXPECT_EQ(srv.Receive(0, 14 + 5 + 14 + 6, kSoon),
              Concat({FrameBytes(first), FrameBytes(second)}));

    const Bytes third = Pattern(7, 82);
    const Bytes fourth = Pattern(8, 83);
    ASSERT_TRUE(srv.Send(0, Concat({FrameBytes(third), FrameBytes(fourth)})));
    EXPECT_EQ(TakeBody(client), third);
    EXPECT_EQ(TakeBody(client), fourth);
    EXPECT_TRUE(WaitUntil([&] { return client.GetHandlerExceptionCount() == 2; }));

    // Still going after both failures.
    const Bytes fifth = Pattern(9, 84);
    ASSERT_EQ(client.SendPdu(fifth.data(), 9), 0);
    EXPECT_EQ(srv.Receive(0, 14 + 9, kSoon), FrameBytes(fifth));
    EXPECT_TRUE(client.IsRunning());
}

// ---- stop and restart ------------------------------------------------------

// From the stop on nothing is accepted that could never be written, the peer
// sees the end at once, and a restart connects again.
TEST(StopAndRestart, RefusesFromTheStopClosesTheConnectionAndReconnectsOnRestart) {
    LoopbackServer srv;
    OpenClient client;
    client.SetLinger(500);
    ASSERT_TRUE(StartClient(client, srv, true));
    std::atomic<bool> destroyed{false};
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> refused{0};
    std::atomic<std::uint64_t> refusedAfter{0};
    std::atomic<std::uint64_t> acceptedAfter{0};
    std::vector<std::thread> senders;
    for (unsigned int t = 0; t < 8; ++t) {
        senders.emplace_back([&, t] {
            const Bytes body = Pattern(16, t);
            while (!done.load()) {
                const bool after = destroyed.load();
                if (client.SendPdu(body.data(), 16) == 1) {
                    refused.fetch_add(1);
                    refusedAfter.fetch_add(after ? 1 : 0);
                } else if (after) {
                    acceptedAfter.fetch_add(1);
                }
            }
        });
    }
    std::this_thread::sleep_for(milliseconds(50));
    client.Destroy();
    destroyed.store(true);
    std::this_thread::sleep_for(milliseconds(50));
    done.store(true);
    for (std::thread& sender : senders) {
        sender.join();
    }
    std::cout << "after Destroy(): " << refusedAfter.load() << " refused, " << acceptedAfter.load()
              << " accepted\n";
    EXPECT_EQ(acceptedAfter.load(), 0U);
    const ConnectionStats s = client.GetStats();
    EXPECT_EQ(s.sendRefusedStopped, refused.load());
    EXPECT_EQ(s.sendQueued, 0U);
    EXPECT_EQ(s.pdusAccepted, s.framesSent + s.SendDropped() + s.sendBuffered);
    EXPECT_FALSE(s.connected);
    EXPECT_TRUE(srv.WaitForClientClose(0, kSoon));

    ASSERT_EQ(client.Create(), 1);
    ASSERT_TRUE(srv.WaitForConnection(1, kSoon));
    const Bytes body = Pattern(5, 95);
    ASSERT_EQ(client.SendPdu(body.data(), 5), 0);
    EXPECT_EQ(ReadFrame(srv, 1), body);
}

// ---- connection drops ------------------------------------------------------

TEST(Reconnection, PeerCloseLeadsToANewConnectionThatCarriesBothWays) {
    LoopbackServer srv;
    KeepingClient client;
    ASSERT_TRUE(StartClient(client, srv, true));

    const Bytes before = Pattern(10, 90);
    ASSERT_EQ(client.SendPdu(before.data(), 10), 0);
    EXPECT_EQ(ReadFrame(srv, 0), before);

    srv.CloseConnection(0);
    ASSERT_TRUE(srv.WaitForConnection(1, kSoon));
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().reconnections == 1; }));
    EXPECT_NE(client.GetSocket(), nullptr);

    const Bytes after = Pattern(11, 91);
    ASSERT_EQ(client.SendPdu(after.data(), 11), 0);
    EXPECT_EQ(ReadFrame(srv, 1), after);

    const Bytes incoming = Pattern(12, 92);
    ASSERT_TRUE(srv.Send(1, FrameBytes(incoming)));
    EXPECT_EQ(TakeBody(client), incoming);

    EXPECT_EQ(client.GetStats().reconnections, 1U);
    EXPECT_EQ(srv.ConnectionCount(), 2U);
}

TEST(Reconnection, WithoutReconnectSendsAfterTheCloseAreLostQuietly) {
    LoopbackServer srv;
    OpenClient client;
    ASSERT_TRUE(StartClient(client, srv, false));
    srv.CloseConnection(0);
    // The socket stays attached, so SendPdu keeps accepting; the writes fail.
    ASSERT_TRUE(WaitUntil([&] {
        const Bytes body = Pattern(3, 93);
        client.SendPdu(body.data(), 3);
        return client.GetStats().SendDropped() >= 1;
    }));
    EXPECT_NE(client.GetSocket(), nullptr);
    EXPECT_EQ(client.GetStats().reconnections, 0U);
    EXPECT_EQ(srv.ConnectionCount(), 1U);
    EXPECT_TRUE(client.IsRunning());
}

} // namespace
} // namespace kavra::test
