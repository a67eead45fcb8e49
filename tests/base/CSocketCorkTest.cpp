// A corked socket holds its Sends back so that a burst leaves in one write;
// Uncork, a Receive, a full buffer and Close each write them out, and the
// bytes keep their order. A write that fails drops what was held.
#include "support/LoopbackServer.h"
#include "support/Slowdown.h"
#include "support/TestSocket.h"

#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using kavra::test::LoopbackServer;
using kavra::test::Patient;
using std::chrono::milliseconds;

// Held bytes that nobody writes out never leave; a prompt arrival is well
// below this.
const milliseconds kPrompt = Patient(milliseconds(150));
const milliseconds kSoon = Patient(milliseconds(5000));
// How long the peer looks for bytes that must not have left. Every write
// here is made by the test's own thread, so whatever left is already on its
// way when the call returns.
const milliseconds kNothingLeft = Patient(milliseconds(100));

Bytes Pattern(std::size_t size, unsigned int seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 13U + seed) % 251U);
    }
    return bytes;
}

class CorkedSend : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_socket.Connect("127.0.0.1", m_server.Port(), 2000), 1);
        ASSERT_TRUE(m_server.WaitForConnection(0, kSoon));
    }

    // A Send between Cork and Uncork.
    int Hold(const void* src, int n, int timeoutMs) {
        m_socket.Cork();
        return m_socket.Send(src, n, timeoutMs);
    }

    // Reads size bytes and reports how long they took to arrive.
    milliseconds Take(std::size_t size, Bytes* got) {
        const auto start = Clock::now();
        *got = m_server.Receive(0, size, kSoon);
        return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    }

    LoopbackServer m_server;
    CSocket m_socket;
};

TEST_F(CorkedSend, UncorkPushesHeldBytesOutAtOnce) {
    // An uncork that did not write would cost every round the whole wait; a
    // scheduling hiccup only some: the median tells them apart.
    std::vector<milliseconds> times;
    for (unsigned int i = 0; i < 5; ++i) {
        const Bytes bytes = Pattern(30, i);
        ASSERT_EQ(Hold(bytes.data(), 30, 1000), 30);
        m_socket.Uncork();
        Bytes got;
        times.push_back(Take(30, &got));
        EXPECT_EQ(got, bytes);
    }
    std::sort(times.begin(), times.end());
    EXPECT_LT(times[times.size() / 2], kPrompt);
}

// A request must not wait behind its own answer: a Receive writes out what
// was held first.
TEST_F(CorkedSend, AReceiveWritesHeldBytesOutFirst) {
    const Bytes first = Pattern(20, 1);
    const Bytes second = Pattern(5000, 2);
    ASSERT_EQ(Hold(first.data(), 20, 1000), 20);
    ASSERT_EQ(Hold(second.data(), 5000, 1000), 5000);
    unsigned char answer = 0;
    EXPECT_EQ(m_socket.Receive(&answer, 1, 0), 0);
    EXPECT_FALSE(m_socket.HasHeldOutput());
    Bytes got;
    EXPECT_LT(Take(5020, &got), kPrompt);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(got, expected);
}

TEST_F(CorkedSend, HeldBytesWaitForTheUncork) {
    const Bytes bytes = Pattern(30, 7);
    ASSERT_EQ(Hold(bytes.data(), 30, 1000), 30);
    EXPECT_TRUE(m_socket.HasHeldOutput());
    EXPECT_TRUE(m_server.Receive(0, 30, kNothingLeft).empty());
    EXPECT_TRUE(m_socket.Uncork());
    EXPECT_FALSE(m_socket.HasHeldOutput());
    Bytes got;
    EXPECT_LT(Take(30, &got), kPrompt);
    EXPECT_EQ(got, bytes);
}

// A corked socket holds every Send, and a loop about to wait must hear of
// it; uncorking writes the burst out, after which Send writes at once.
TEST_F(CorkedSend, SendsBetweenCorkAndUncorkLeaveTogetherAtTheUncork) {
    const Bytes first = Pattern(40, 1);
    const Bytes second = Pattern(3000, 2);
    const Bytes third = Pattern(9, 3);
    EXPECT_FALSE(m_socket.HasWorkBeforeWait(true));
    m_socket.Cork();
    ASSERT_EQ(m_socket.Send(first.data(), 40, 1000), 40);
    ASSERT_EQ(m_socket.Send(second.data(), 3000, 1000), 3000);
    EXPECT_TRUE(m_socket.HasWorkBeforeWait(false));
    EXPECT_TRUE(m_server.Receive(0, 1, kNothingLeft).empty());
    EXPECT_TRUE(m_socket.Uncork());
    EXPECT_FALSE(m_socket.HasWorkBeforeWait(true));
    ASSERT_EQ(m_socket.Send(third.data(), 9, 1000), 9);
    EXPECT_FALSE(m_socket.HasHeldOutput());
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    Bytes got;
    EXPECT_LT(Take(expected.size(), &got), kPrompt);
    EXPECT_EQ(got, expected);
}

TEST_F(CorkedSend, MoreThanTheBufferHoldsLeavesWholeAndInOrder) {
    // Small writes overflow the 64 KiB buffer several times, and a block
    // larger than the buffer goes straight out between them.
    Bytes expected;
    for (unsigned int i = 0; i < 300; ++i) {
        const Bytes chunk = Pattern(i == 150 ? 100000 : 997, i);
        ASSERT_EQ(Hold(chunk.data(), static_cast<int>(chunk.size()), 1000),
                  static_cast<int>(chunk.size()));
        expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
    EXPECT_TRUE(m_socket.Uncork());
    EXPECT_EQ(m_server.Receive(0, expected.size(), kSoon), expected);
    EXPECT_TRUE(m_server.Receive(0, 1, kNothingLeft).empty());
}

TEST_F(CorkedSend, AFailedUncorkDropsWhatItHeldAndFailsTheSocket) {
    if (!kavra::test::net::ShutdownResetsLaterData()) {
        GTEST_SKIP() << "the peer's shut-down socket keeps taking data here, so nothing fails";
    }
    m_server.CloseConnection(0);
    // The first writes after the peer's close may still be taken by the
    // stack; the reset that answers them fails a later one.
    const Bytes bytes = Pattern(100, 5);
    bool flushed = true;
    const auto start = Clock::now();
    while (flushed && Clock::now() - start < kSoon) {
        if (Hold(bytes.data(), 100, 200) != 100) {
            break;
        }
        flushed = m_socket.Uncork();
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_FALSE(flushed);
    EXPECT_TRUE(m_socket.HasFailed());
    EXPECT_FALSE(m_socket.HasHeldOutput());
    EXPECT_EQ(Hold(bytes.data(), 100, 200), 0);
}

TEST_F(CorkedSend, RefusesWhatSendRefusesAndUncorkIsHarmlessWhenIdleOrClosed) {
    const Bytes bytes = Pattern(4, 0);
    EXPECT_EQ(Hold(nullptr, 4, 100), 0);
    EXPECT_EQ(Hold(bytes.data(), 0, 100), 0);
    m_socket.Uncork();
    ASSERT_EQ(Hold(bytes.data(), 4, 100), 4);
    m_socket.Close();
    m_socket.Uncork();
    EXPECT_EQ(Hold(bytes.data(), 4, 100), 0);
    EXPECT_FALSE(m_socket.HasFailed());
    // Closing a socket sends what it held.
    EXPECT_EQ(m_server.Receive(0, 4, kSoon), bytes);
}

} // namespace
