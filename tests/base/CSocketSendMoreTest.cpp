// SendMore lets the stack hold a partly filled segment back; Flush and a
// plain Send must each push it out at once, and the bytes keep their order.
#include "support/LoopbackServer.h"

#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using kavra::test::LoopbackServer;
using std::chrono::milliseconds;

// Bytes held back and never pushed take about 200 ms to leave.
constexpr milliseconds kPrompt{150};
constexpr milliseconds kSoon{5000};

Bytes Pattern(std::size_t size, unsigned int seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 13U + seed) % 251U);
    }
    return bytes;
}

class SendMore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_socket.Connect("127.0.0.1", m_server.Port(), 2000), 1);
        ASSERT_TRUE(m_server.WaitForConnection(0, kSoon));
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

TEST_F(SendMore, FlushPushesHeldBytesOutAtOnce) {
    // A held segment costs every round ~200 ms; a scheduling hiccup only
    // some: the median tells them apart.
    std::vector<milliseconds> times;
    for (unsigned int i = 0; i < 5; ++i) {
        const Bytes bytes = Pattern(30, i);
        ASSERT_EQ(m_socket.SendMore(bytes.data(), 30, 1000), 30);
        m_socket.Flush();
        Bytes got;
        times.push_back(Take(30, &got));
        EXPECT_EQ(got, bytes);
    }
    std::sort(times.begin(), times.end());
    EXPECT_LT(times[times.size() / 2], kPrompt);
}

TEST_F(SendMore, APlainSendCarriesHeldBytesAlongInOrder) {
    const Bytes first = Pattern(20, 1);
    const Bytes second = Pattern(5000, 2);
    const Bytes third = Pattern(9, 3);
    ASSERT_EQ(m_socket.SendMore(first.data(), 20, 1000), 20);
    ASSERT_EQ(m_socket.SendMore(second.data(), 5000, 1000), 5000);
    ASSERT_EQ(m_socket.Send(third.data(), 9, 1000), 9);
    Bytes got;
    EXPECT_LT(Take(5029, &got), kPrompt);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(got, expected);
}

TEST_F(SendMore, RefusesWhatSendRefusesAndFlushIsHarmlessWhenIdleOrClosed) {
    const Bytes bytes = Pattern(4, 0);
    EXPECT_EQ(m_socket.SendMore(nullptr, 4, 100), 0);
    EXPECT_EQ(m_socket.SendMore(bytes.data(), 0, 100), 0);
    m_socket.Flush();
    ASSERT_EQ(m_socket.SendMore(bytes.data(), 4, 100), 4);
    m_socket.Close();
    m_socket.Flush();
    EXPECT_EQ(m_socket.SendMore(bytes.data(), 4, 100), 0);
    EXPECT_FALSE(m_socket.HasFailed());
    // Closing a socket sends what it held.
    EXPECT_EQ(m_server.Receive(0, 4, kSoon), bytes);
}

} // namespace
