// The send path seen from the peer: what SendPdu puts on the wire, what it
// refuses, and that concurrent senders never interleave or lose frames.
#include "ClientTestUtil.h"
#include "support/StartGate.h"

#include <kavra/NullPduError.h>
#include <kavra/PduSizeError.h>
#include <kavra/kavra.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace kavra::test {
namespace {

static_assert(std::is_base_of_v<std::invalid_argument, kavra::NullPduError>);
static_assert(std::is_base_of_v<std::out_of_range, kavra::PduSizeError>);

// Error texts of SendPdu, byte for byte: ASCII prefix, then GBK.
constexpr std::array<unsigned char, 43> kNullPduText = {
    0x4B, 0x61, 0x76, 0x72, 0x61, 0x43, 0x6C, 0x69, 0x65, 0x6E, 0x74, // KavraClient
    0x54, 0x68, 0x72, 0x65, 0x61, 0x64, 0x3A, 0x3A,                   // Thread::
    0x53, 0x65, 0x6E, 0x64, 0x50, 0x64, 0x75,                         // SendPdu
    0xB7, 0xA2, 0xCF, 0xD6, 0xB2, 0xCE, 0xCA, 0xFD,                   //
    0x70, 0x64, 0x75,                                                 // pdu
    0xCE, 0xAA, 0xBF, 0xD5, 0xA1, 0xA3};
constexpr std::array<unsigned char, 44> kSizeText = {
    0x4B, 0x61, 0x76, 0x72, 0x61, 0x43, 0x6C, 0x69, 0x65, 0x6E, 0x74, // KavraClient
    0x54, 0x68, 0x72, 0x65, 0x61, 0x64, 0x3A, 0x3A,                   // Thread::
    0x53, 0x65, 0x6E, 0x64, 0x50, 0x64, 0x75,                         // SendPdu
    0xB7, 0xA2, 0xCF, 0xD6, 0xB2, 0xCE, 0xCA, 0xFD,                   //
    0x73, 0x69, 0x7A, 0x65,                                           // size
    0xD4, 0xBD, 0xBD, 0xE7, 0xA1, 0xA3};

template <std::size_t N> Bytes TextBytes(const std::array<unsigned char, N>& text) {
    return Bytes(text.begin(), text.end());
}

Bytes WhatBytes(const std::exception& e) {
    const char* what = e.what();
    return Bytes(what, what + std::strlen(what));
}

// Sends kMarker and expects it to be the next frame the peer reads: nothing
// else reached the wire before it.
::testing::AssertionResult MarkerComesNext(KavraClientThread& client, LoopbackServer& srv) {
    if (client.SendPdu(kMarker.data(), static_cast<unsigned int>(kMarker.size())) != 0) {
        return ::testing::AssertionFailure() << "the marker was refused";
    }
    const std::vector<Bytes> before = FramesBeforeMarker(srv, 0);
    if (!before.empty()) {
        return ::testing::AssertionFailure() << before.size() << " frames came before the marker";
    }
    return ::testing::AssertionSuccess();
}

class SendPath : public ::testing::Test {
protected:
    void StartDefault() { ASSERT_TRUE(StartClient(client, srv)); }

    LoopbackServer srv;
    OpenClient client;
};

TEST_F(SendPath, WithoutSocketNothingIsQueuedAndNothingThrown) {
    const Bytes body = Pattern(5, 1);
    EXPECT_EQ(client.SendPdu(body.data(), 5), 1);
    EXPECT_EQ(client.SendPdu(body.data(), 0), 1);
    EXPECT_NO_THROW({ EXPECT_EQ(client.SendPdu(nullptr, 5), 1); });
    EXPECT_NO_THROW({ EXPECT_EQ(client.SendPdu(body.data(), 9000), 1); });
    EXPECT_NO_THROW({ EXPECT_EQ(client.SendPdu(nullptr, 0xFFFFFFFFU), 1); });
    EXPECT_EQ(client.GetSendQueueLength(), 0U);
    EXPECT_EQ(client.GetQueuedMessageCount(), 0U);
}

TEST_F(SendPath, FramesCarryTheBodyByteForByte) {
    StartDefault();

    const Bytes one = {0x5A};
    ASSERT_EQ(client.SendPdu(one.data(), 1), 0);
    const Bytes oneFrame = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                            0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x5A};
    EXPECT_EQ(srv.Receive(0, 15, kSoon), oneFrame);

    const Bytes three = {0x01, 0x02, 0x03};
    ASSERT_EQ(client.SendPdu(three.data(), 3), 0);
    const Bytes threeFrame = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                              0xFF, 0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03};
    EXPECT_EQ(srv.Receive(0, 17, kSoon), threeFrame);

    // The largest body: 8812 = 0x226C.
    Bytes largest = Pattern(KavraClientThread::MAX_PDU_LENGTH, 2);
    largest.front() = 0xFF; // body bytes are carried verbatim, sync-like or not
    ASSERT_EQ(client.SendPdu(largest.data(), KavraClientThread::MAX_PDU_LENGTH), 0);
    const Bytes got = srv.Receive(0, 14 + largest.size(), kSoon);
    ASSERT_EQ(got.size(), 14 + largest.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 14),
              Concat({Bytes(10, 0xFF), Bytes{0x00, 0x00, 0x22, 0x6C}}));
    EXPECT_EQ(Bytes(got.begin() + 14, got.end()), largest);

    EXPECT_TRUE(MarkerComesNext(client, srv));
    // The counters are updated after the write returns.
    EXPECT_TRUE(WaitUntil([&] {
        const ConnectionStats s = client.GetStats();
        return s.framesSent == 4 &&
               s.bytesSent == 1U + 3U + KavraClientThread::MAX_PDU_LENGTH + kMarker.size();
    }));
    EXPECT_EQ(client.GetStats().SendDropped(), 0U);
}

TEST_F(SendPath, EmptyBodyIsAcceptedButNeverWritten) {
    StartDefault();
    const Bytes body = {0x42};
    ASSERT_EQ(client.SendPdu(body.data(), 0), 0);
    ASSERT_EQ(client.SendPdu(body.data(), 1), 0);
    // The very next bytes on the wire are the 1-byte frame.
    EXPECT_EQ(srv.Receive(0, 15, kSoon), FrameBytes(body));
    EXPECT_TRUE(MarkerComesNext(client, srv));
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == 2; }));
    EXPECT_EQ(client.GetSendQueueLength(), 0U);
    EXPECT_EQ(client.GetStats().bytesSent, 1U + kMarker.size());
}

TEST_F(SendPath, BodiesFromOneThreadKeepTheirOrder) {
    StartDefault();
    const Bytes first = Pattern(4, 10);
    const Bytes second = Pattern(40, 11);
    const Bytes third = Pattern(400, 12);
    for (const Bytes* body : {&first, &second, &third}) {
        ASSERT_EQ(client.SendPdu(body->data(), static_cast<unsigned int>(body->size())), 0);
    }
    const Bytes expected = Concat({FrameBytes(first), FrameBytes(second), FrameBytes(third)});
    EXPECT_EQ(srv.Receive(0, expected.size(), kSoon), expected);
}

TEST_F(SendPath, ArgumentErrorsCarryTheExactTexts) {
    StartDefault();
    const Bytes body = Pattern(KavraClientThread::MAX_PDU_LENGTH + 1, 3);

    try {
        client.SendPdu(nullptr, 5);
        ADD_FAILURE() << "null pdu with size 5 was accepted";
    } catch (const kavra::NullPduError& e) {
        EXPECT_EQ(WhatBytes(e), TextBytes(kNullPduText));
    }
    // A null pointer wins over an oversized size.
    try {
        client.SendPdu(nullptr, 9000);
        ADD_FAILURE() << "null pdu with size 9000 was accepted";
    } catch (const kavra::NullPduError& e) {
        EXPECT_EQ(WhatBytes(e), TextBytes(kNullPduText));
    }
    try {
        client.SendPdu(body.data(), KavraClientThread::MAX_PDU_LENGTH + 1);
        ADD_FAILURE() << "size 8813 was accepted";
    } catch (const kavra::PduSizeError& e) {
        EXPECT_EQ(WhatBytes(e), TextBytes(kSizeText));
    }
    // Each text is kept once; the C interface hands out the same bytes.
    EXPECT_EQ(kavra_error_text_gbk(KAVRA_ERR_NULL_PDU), kavra::NullPduError::Text());
    EXPECT_EQ(kavra_error_text_gbk(KAVRA_ERR_SIZE), kavra::PduSizeError::Text());
    // Both are reachable through the standard base class; the size is
    // compared unsigned.
    try {
        client.SendPdu(body.data(), 0xFFFFFFFFU);
        ADD_FAILURE() << "size 0xFFFFFFFF was accepted";
    } catch (const std::exception& e) {
        EXPECT_EQ(WhatBytes(e), TextBytes(kSizeText));
    }
    EXPECT_EQ(client.GetSendQueueLength(), 0U);

    // Nothing of the refused calls reached the wire: the next frame is the
    // first thing the peer reads.
    const Bytes ok = {0x11};
    ASSERT_EQ(client.SendPdu(ok.data(), 1), 0);
    EXPECT_EQ(srv.Receive(0, 15, kSoon), FrameBytes(ok));
    EXPECT_TRUE(MarkerComesNext(client, srv));
}

// Holds every send notification until the test opens the gate, so the test
// controls when the worker reads the queued copy.
class GatedClient : public OpenClient {
public:
    ~GatedClient() override {
        Open();
        Destroy();
    }
    void Open() {
        if (!m_opened.exchange(true)) {
            m_gate.set_value();
        }
    }

protected:
    void OnSendQueuePush() override {
        m_gateFuture.wait_for(Patient(std::chrono::seconds(10)));
        OpenClient::OnSendQueuePush();
    }

private:
    std::promise<void> m_gate;
    std::shared_future<void> m_gateFuture = m_gate.get_future().share();
    std::atomic<bool> m_opened{false};
};

TEST(SendPathCopy, CallerMayOverwriteAndFreeItsBytesAtOnce) {
    LoopbackServer srv;
    GatedClient client;
    ASSERT_TRUE(StartClient(client, srv));

    const Bytes original = Pattern(64, 4);
    auto callerBytes = std::make_unique<unsigned char[]>(original.size());
    std::memcpy(callerBytes.get(), original.data(), original.size());
    ASSERT_EQ(client.SendPdu(callerBytes.get(), static_cast<unsigned int>(original.size())), 0);
    std::memset(callerBytes.get(), 0xEE, original.size());
    callerBytes.reset();

    client.Open();
    EXPECT_EQ(srv.Receive(0, 14 + original.size(), kSoon), FrameBytes(original));
}

TEST(SendPathManual, QueuedEntryIsWrittenWhenTheNotificationIsHandled) {
    // No worker: the test thread plays the worker and dispatches by hand.
    LoopbackServer srv;
    OpenClient client;
    CServerStatus server("127.0.0.1", srv.Port());
    server.SetReconnect(false);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    ASSERT_TRUE(srv.WaitForConnection(0, kSoon));

    // This thread makes every write itself, so whatever SendPdu or a
    // dispatch wrote is on its way before they return; the frame read after
    // each dispatch shows what that dispatch, and nothing before it, wrote.
    const Bytes body = Pattern(3, 5);
    ASSERT_EQ(client.SendPdu(body.data(), 3), 0);
    EXPECT_EQ(client.GetSendQueueLength(), 1U);

    MSG msg{};
    msg.message = KavraClientThread::MSG_SEND_QUEUE_PUSH;
    EXPECT_EQ(client.DispatchMessageA(&msg), 1);
    EXPECT_EQ(client.GetSendQueueLength(), 0U);
    EXPECT_EQ(srv.Receive(0, 17, kSoon), FrameBytes(body));

    // A notification with nothing queued writes nothing: the next frame is
    // the marker's.
    EXPECT_EQ(client.DispatchMessageA(&msg), 1);
    ASSERT_EQ(client.SendPdu(kMarker.data(), static_cast<unsigned int>(kMarker.size())), 0);
    EXPECT_EQ(client.DispatchMessageA(&msg), 1);
    EXPECT_EQ(FramesBeforeMarker(srv, 0), std::vector<Bytes>{});
}

TEST(SendPathConcurrency, ManySendersEveryBodyOnceAndInEachSendersOrder) {
    constexpr int kThreads = 4;
    constexpr std::uint32_t kPerThread = 500;

    LoopbackServer srv;
    OpenClient client;
    ASSERT_TRUE(StartClient(client, srv));

    // Body: sender id, sequence number (big-endian), then a tail whose length
    // and content depend on both, so torn or mixed frames show.
    auto makeBody = [](int sender, std::uint32_t seq) {
        Bytes body = {static_cast<unsigned char>(sender), static_cast<unsigned char>(seq >> 24),
                      static_cast<unsigned char>(seq >> 16), static_cast<unsigned char>(seq >> 8),
                      static_cast<unsigned char>(seq)};
        const Bytes tail = Pattern(seq % 13U, static_cast<unsigned int>(sender) * 1000U + seq);
        body.insert(body.end(), tail.begin(), tail.end());
        return body;
    };
    std::size_t total = 0;
    for (int sender = 0; sender < kThreads; ++sender) {
        for (std::uint32_t seq = 0; seq < kPerThread; ++seq) {
            total += 14 + makeBody(sender, seq).size();
        }
    }

    auto wire = std::async(std::launch::async, [&] {
        return srv.Receive(0, total, Patient(std::chrono::seconds(30)));
    });
    StartGate start(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kThreads; ++sender) {
        senders.emplace_back([&, sender] {
            start.ArriveAndWait();
            for (std::uint32_t seq = 0; seq < kPerThread; ++seq) {
                const Bytes body = makeBody(sender, seq);
                if (client.SendPdu(body.data(), static_cast<unsigned int>(body.size())) != 0) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);

    const Bytes bytes = wire.get();
    ASSERT_EQ(bytes.size(), total);
    std::vector<std::uint32_t> next(kThreads, 0);
    std::size_t pos = 0;
    std::size_t frames = 0;
    while (pos < bytes.size()) {
        ASSERT_LE(pos + 14, bytes.size());
        ASSERT_EQ(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                        bytes.begin() + static_cast<std::ptrdiff_t>(pos + 10)),
                  Bytes(10, 0xFF))
            << "no sync mark at offset " << pos;
        const std::uint32_t length = ReadBigEndian(bytes.data() + pos + 10);
        pos += 14;
        ASSERT_GE(length, 5U);
        ASSERT_LE(pos + length, bytes.size());
        const Bytes body(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                         bytes.begin() + static_cast<std::ptrdiff_t>(pos + length));
        pos += length;
        const int sender = body[0];
        ASSERT_LT(sender, kThreads);
        const std::uint32_t seq = ReadBigEndian(body.data() + 1);
        ASSERT_EQ(seq, next[static_cast<std::size_t>(sender)]) << "sender " << sender;
        ASSERT_EQ(body, makeBody(sender, seq));
        ++next[static_cast<std::size_t>(sender)];
        ++frames;
    }
    EXPECT_EQ(frames, static_cast<std::size_t>(kThreads) * kPerThread);
    for (std::uint32_t count : next) {
        EXPECT_EQ(count, kPerThread);
    }
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == frames; }));
}

// A replacement handler takes entries oldest first under the queue's lock,
// owns them, and may still write them through the counted path.
class FilteringClient : public OpenClient {
public:
    ~FilteringClient() override { Destroy(); }
    std::atomic<int> filtered{0};

protected:
    void OnSendQueuePush() override {
        const kavra::SendEntry entry = TakeSendEntry();
        if (entry && entry.size > 0 && entry.bytes[0] == 'x') {
            filtered.fetch_add(1);
            return;
        }
        WriteSendEntry(entry);
    }
};

TEST(ReplacedSendHandler, TakesEntriesInOrderAndWritesThroughTheCountedPath) {
    LoopbackServer srv;
    FilteringClient client;
    ASSERT_TRUE(StartClient(client, srv));
    const std::vector<std::string> bodies = {"one", "xdrop", "two", "xdrop", "three"};
    for (const std::string& body : bodies) {
        ASSERT_EQ(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())), 0);
    }
    for (const char* expected : {"one", "two", "three"}) {
        const std::optional<Bytes> got = ReadFrame(srv, 0);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(std::string(got->begin(), got->end()), expected);
    }
    EXPECT_TRUE(WaitUntil([&] { return client.GetStats().framesSent == 3; }));
    EXPECT_EQ(client.filtered.load(), 2);
    EXPECT_EQ(client.GetSendQueueLength(), 0U);
}

} // namespace
} // namespace kavra::test
