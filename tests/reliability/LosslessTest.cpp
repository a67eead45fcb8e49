// Delivery without loss: writes wait out a reconnection, entries wait
// through an outage when asked to, and a full receive queue holds the peer
// back instead of dropping. Against real peers that drop and stall.
#include "ReliabilityUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <system_error>
#include <thread>

namespace kavra::test {
namespace {

using std::chrono::seconds;

Bytes Numbered(std::uint32_t number) {
    Bytes body = Pattern(4 + number % 700, number);
    for (std::size_t i = 0; i < 4; ++i) {
        body[i] = static_cast<unsigned char>(number >> (24 - 8 * i));
    }
    return body;
}

void SendNumbered(KavraClientThread& client, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i) {
        const Bytes body = Numbered(i);
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
}

// Numbers of all frames read from one connection: the client sends kMarker
// after them.
std::vector<std::uint32_t> ReadNumbers(KavraClientThread& client, LoopbackServer& srv,
                                       std::size_t index) {
    EXPECT_EQ(client.SendPdu(kMarker.data(), static_cast<unsigned int>(kMarker.size())), 0);
    std::vector<std::uint32_t> numbers;
    for (const Bytes& body : FramesBeforeMarker(srv, index)) {
        const std::uint32_t number = ReadBigEndian(body.data());
        EXPECT_EQ(body, Numbered(number));
        numbers.push_back(number);
    }
    return numbers;
}

std::vector<std::uint32_t> Range(std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t i = from; i < to; ++i) {
        numbers.push_back(i);
    }
    return numbers;
}

TEST(Reconnect, AWriteWaitsOutAShortReconnectInsteadOfDropping) {
    LoopbackServer srv;
    OpenClient client;
    CServerStatus server("127.0.0.1", srv.Port());
    server.SetBackoff(600, 600);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    ASSERT_EQ(client.Create(), 1);
    ASSERT_TRUE(srv.WaitForConnection(0, kSoon));
    ASSERT_TRUE(WaitUntil([&] { return client.IsConnected(); }));
    srv.CloseConnection(0);
    // The worker sees the close at once and schedules the reconnection
    // 600 ms later; PDUs it comes to meanwhile find the connection down, and
    // with the defaults they wait for that attempt rather than drop.
    ASSERT_TRUE(WaitUntil([&] { return !client.IsConnected(); }));
    SendNumbered(client, 0, 50);
    ASSERT_TRUE(srv.WaitForConnection(1, kSoon));
    EXPECT_EQ(ReadNumbers(client, srv, 1), Range(0, 50));
    EXPECT_EQ(client.GetStats().SendDropped(), 0U);
}

TEST(HoldWhileDisconnected, EntriesWaitThroughAnOutageAndOnlyStaleOnesAreDropped) {
    auto srv = std::make_unique<LoopbackServer>();
    const unsigned short port = srv->Port();
    OpenClient client;
    ASSERT_TRUE(StartClient(client, *srv, true));
    client.SetHoldWhileDisconnected(true);
    // Fresh entries must reach the new server before they age out.
    const milliseconds maxAge = Patient(milliseconds(1500));
    client.SetMaxAge(static_cast<unsigned int>(maxAge.count()));
    srv.reset();

    // Queued at the start of an outage longer than the age limit: too old
    // by its end.
    SendNumbered(client, 0, 20);
    std::this_thread::sleep_for(maxAge + milliseconds(1000));
    SendNumbered(client, 20, 60);
    try {
        srv = std::make_unique<LoopbackServer>(port);
    } catch (const std::system_error& e) {
        GTEST_SKIP() << "port " << port << " was taken meanwhile: " << e.what();
    }
    ASSERT_TRUE(srv->WaitForConnection(0, kSoon));
    EXPECT_EQ(ReadNumbers(client, *srv, 0), Range(20, 60));
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == 41; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.sendDroppedStale, 20U);
    EXPECT_EQ(stats.SendDropped(), 20U);
    EXPECT_EQ(stats.pdusAccepted, stats.framesSent + stats.SendDropped());
}

// Counts the posts of queued PDUs the worker has handled.
class PushCountingClient : public OpenClient {
public:
    std::atomic<std::uint32_t> pushes{0};

protected:
    void OnSendQueuePush() override {
        OpenClient::OnSendQueuePush();
        pushes.fetch_add(1);
    }
};

// The worker takes waiting entries off the queue in batches; through an
// outage they sit in its own list, taken out and put back once per PDU
// queued. They stay queued for the byte limit and the queue's length.
TEST(HoldWhileDisconnected, EntriesTheWorkerTookStayQueuedForTheLimits) {
    auto srv = std::make_unique<LoopbackServer>();
    PushCountingClient client;
    ASSERT_TRUE(StartClient(client, *srv, true));
    client.SetHoldWhileDisconnected(true);
    srv.reset();
    ASSERT_TRUE(WaitUntil([&] { return !client.GetStats().connected; }));

    constexpr std::size_t kByteLimit = 40'000;
    client.SetSendQueueByteLimit(kByteLimit);
    std::uint32_t accepted = 0;
    std::size_t acceptedBytes = 0;
    for (;; ++accepted) {
        const Bytes body = Numbered(accepted);
        if (client.SendPdu(body.data(), static_cast<unsigned int>(body.size())) != 0) {
            break;
        }
        acceptedBytes += body.size();
    }
    EXPECT_GT(accepted, 100U);
    // Once the worker has taken out and put back an entry for every PDU,
    // each byte and entry is counted once.
    ASSERT_TRUE(WaitUntil([&] { return client.pushes.load() == accepted; }));
    EXPECT_EQ(client.GetSendQueueLength(), accepted);
    EXPECT_EQ(client.GetSendQueueBytes(), acceptedBytes);
}

TEST(ReceiveOverflowBlock, AFullQueueHoldsThePeerBackAndDropsNothing) {
    LoopbackServer srv;
    KeepingClient client;
    client.SetReceiveOverflow(kavra::ReceiveOverflow::Block);
    ASSERT_TRUE(StartClient(client, srv));
    constexpr std::uint32_t kFrames = 3 * KavraClientThread::MAX_RECEIVE_QUEUE;
    Bytes stream;
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        const Bytes frame = FrameBytes(Numbered(i));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(srv.Send(0, stream));
    // The worker pauses reading at a full queue; nothing is dropped meanwhile.
    ASSERT_TRUE(WaitUntil([&] { return client.GetStats().receivePauses >= 1; }));
    EXPECT_EQ(client.GetReceiveQueueLength(), KavraClientThread::MAX_RECEIVE_QUEUE);
    EXPECT_EQ(client.GetStats().receiveDropsQueueFull, 0U);

    // Paused reading does not pause writing.
    SendNumbered(client, 7, 8);
    const std::optional<Bytes> written = ReadFrame(srv, 0);
    EXPECT_EQ(written, Numbered(7));

    for (std::uint32_t i = 0; i < kFrames; ++i) {
        const std::optional<Bytes> body = TakeBody(client);
        ASSERT_TRUE(body.has_value()) << "frame " << i;
        ASSERT_EQ(*body, Numbered(i));
    }
    // The worker counts a frame after queueing it: the consumer may take the
    // last one first.
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesReceived == kFrames; }));
    const ConnectionStats stats = client.GetStats();
    EXPECT_EQ(stats.receiveDropsQueueFull, 0U);
    EXPECT_GE(stats.receivePauses, 1U);
    EXPECT_EQ(stats.framesReceived, kFrames);
}

// An echo peer that drops the connection after every kPerConnection frames
// it echoes, and a consumer slower than the sender: with both options on,
// every PDU comes back once and in order, except frames the kernel had taken
// when a connection dropped, which the peer never read, and echoes the reset
// of a dropped connection took from the client's buffers. The sender keeps at
// most kWindow PDUs unanswered, as a request-reply protocol would, so that
// is also the most a drop can take.
TEST(Lossless, EveryPduComesBackOnceInOrderExceptThoseInFlightAtADrop) {
    constexpr std::uint32_t kPdus = 3000;
    constexpr std::size_t kPerConnection = 400;
    constexpr std::uint32_t kWindow = 250;
    LoopbackServer srv;
    KeepingClient client;
    client.SetHoldWhileDisconnected(true);
    client.SetReceiveOverflow(kavra::ReceiveOverflow::Block);
    ASSERT_TRUE(StartClient(client, srv, true));

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> echoed{0};
    std::thread peer([&] {
        for (std::size_t index = 0; !stop.load(); ++index) {
            if (!srv.WaitForConnection(index, Patient(seconds(10)))) {
                return;
            }
            for (std::size_t n = 0; n < kPerConnection && !stop.load();) {
                const std::optional<Bytes> body = ReadFrame(srv, index, milliseconds(200));
                if (!body) {
                    continue;
                }
                if (!srv.Send(index, FrameBytes(*body))) {
                    break;
                }
                echoed.fetch_add(1);
                ++n;
            }
            srv.CloseConnection(index);
        }
    });
    std::atomic<std::uint32_t> answered{0};
    std::thread sender([&] {
        for (std::uint32_t i = 0; i < kPdus; ++i) {
            // Lost frames are never answered: a pause in the answers ends
            // the wait.
            const auto pauseEnd = Clock::now() + Patient(milliseconds(200));
            while (i - answered.load() >= kWindow && Clock::now() < pauseEnd) {
                std::this_thread::sleep_for(milliseconds(2));
            }
            SendNumbered(client, i, i + 1);
        }
    });

    std::vector<std::uint32_t> got;
    // Dropped frames are never echoed, so only a long pause ends the stream.
    while (const std::optional<Bytes> body = TakeBody(client, Patient(seconds(3)))) {
        got.push_back(ReadBigEndian(body->data()));
        answered.store(got.back() + 1);
        EXPECT_EQ(*body, Numbered(got.back()));
        if (got.size() % 64 == 0) {
            std::this_thread::sleep_for(milliseconds(2));
        }
    }
    stop.store(true);
    sender.join();
    peer.join();

    for (std::size_t i = 1; i < got.size(); ++i) {
        ASSERT_LT(got[i - 1], got[i]) << "out of order or twice at " << i;
    }
    const ConnectionStats stats = client.GetStats();
    EXPECT_LE(got.size(), echoed.load());
    EXPECT_EQ(stats.SendDropped(), 0U);
    EXPECT_EQ(stats.receiveDropsQueueFull, 0U);
    EXPECT_EQ(stats.pdusAccepted, kPdus);
    EXPECT_EQ(stats.framesSent, kPdus);
    EXPECT_GE(stats.reconnections, 3U);
    const std::uint64_t inFlight = kPdus - got.size();
    EXPECT_LE(inFlight, stats.reconnections * kWindow);
    std::cout << "lossless: " << got.size() << " of " << kPdus << " came back over "
              << stats.reconnections + 1 << " connections; " << inFlight
              << " were in flight at a drop\n";
}

} // namespace
} // namespace kavra::test
