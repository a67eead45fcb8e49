#include "support/LoopbackServer.h"
#include "support/Slowdown.h"
#include "support/TestSocket.h"

#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

using kavra::test::LoopbackServer;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const milliseconds kSoon = kavra::test::Patient(milliseconds(5000));

// A wait or bound of the test's own in milliseconds, stretched on a slow
// machine; a call that must return before its timeout gets both stretched.
int PatientMs(int ms) {
    return static_cast<int>(kavra::test::Patient(milliseconds(ms)).count());
}

long long ElapsedMs(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

Bytes Pattern(std::size_t size, unsigned int seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 131U + seed) % 251U);
    }
    return bytes;
}

// Polls cond every few milliseconds until it holds or the bound passes.
template <typename Cond> bool WaitUntil(Cond cond, milliseconds bound = kSoon) {
    const auto end = Clock::now() + bound;
    while (!cond()) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// A listener on ::1 for the one IPv6 test; LoopbackServer is IPv4 only.
class Ipv6Listener {
public:
    Ipv6Listener() {
        int error = 0;
        m_fd = kavra::test::net::ListenLoopback(kavra::test::net::Family::Ipv6, 0, 4, false, error);
        if (m_fd != kavra::test::net::INVALID_HANDLE) {
            m_port = kavra::test::net::LocalPort(m_fd);
        }
    }
    ~Ipv6Listener() { kavra::test::net::Close(m_fd); }
    Ipv6Listener(const Ipv6Listener&) = delete;
    Ipv6Listener& operator=(const Ipv6Listener&) = delete;

    bool Ok() const { return m_fd != kavra::test::net::INVALID_HANDLE; }
    unsigned short Port() const { return m_port; }

    // The next accepted connection (blocking), or INVALID_HANDLE when none
    // arrives in time.
    kavra::test::net::Handle Accept(milliseconds timeout) const {
        if (kavra::test::net::WaitReadable(m_fd, static_cast<int>(timeout.count())) != 1) {
            return kavra::test::net::INVALID_HANDLE;
        }
        return kavra::test::net::Accept(m_fd, false);
    }

private:
    kavra::test::net::Handle m_fd = kavra::test::net::INVALID_HANDLE;
    unsigned short m_port = 0;
};

// A client connected to a fresh loopback server, with the server side known.
class CSocketConnected : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_socket.Connect("127.0.0.1", m_server.Port(), 2000), 1)
            << "error " << m_socket.GetLastError();
        ASSERT_TRUE(m_server.WaitForConnection(0, kSoon));
    }

    LoopbackServer m_server;
    CSocket m_socket;
};

TEST(CSocketConnect, Ipv4RemembersEndpointAndLocalPort) {
    LoopbackServer server;
    CSocket socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", server.Port(), 2000), 1);
    EXPECT_TRUE(socket.IsOpen());
    EXPECT_TRUE(socket.IsConnected());
    EXPECT_FALSE(socket.HasFailed());
    EXPECT_EQ(socket.GetLastError(), 0);
    EXPECT_EQ(socket.GetHost(), "127.0.0.1");
    EXPECT_EQ(socket.GetPort(), server.Port());
    EXPECT_NE(socket.GetLocalPort(), 0);
    EXPECT_NE(socket.GetLocalPort(), server.Port());
    EXPECT_TRUE(server.WaitForConnection(0, kSoon));
    EXPECT_EQ(server.ConnectionCount(), 1U);
}

TEST(CSocketConnect, HostNameResolvesAndSomeAddressConnects) {
    LoopbackServer server;
    CSocket socket;
    // localhost may resolve to ::1 first, where nothing listens; the next
    // address must then be tried.
    ASSERT_EQ(socket.Connect("localhost", server.Port(), 2000), 1)
        << "error " << socket.GetLastError();
    EXPECT_TRUE(server.WaitForConnection(0, kSoon));
}

// The connect of a caller's own loop: no call waits, the lookup of the
// name and each of its addresses are steps, and the connection made carries
// bytes. localhost may resolve to ::1 first, where nothing listens.
TEST(CSocketConnect, StepsNeverWaitAndTryEachAddressInTurn) {
    LoopbackServer server;
    CSocket socket;
    const milliseconds atOnce = kavra::test::Patient(milliseconds(20));
    ASSERT_EQ(socket.BeginConnect("localhost", server.Port(), 2000), 1);
    int result = -1;
    milliseconds longest{0};
    const auto end = Clock::now() + kSoon;
    while (result < 0 && Clock::now() < end) {
        ASSERT_TRUE(socket.IsConnecting());
        const CSocket::ConnectWait wait = socket.GetConnectWait();
        // Nothing to wait on: the next look comes within a slice.
        EXPECT_TRUE(wait.handle != CSocket::INVALID_HANDLE ||
                    wait.by <= Clock::now() + milliseconds(50) + atOnce);
        std::this_thread::sleep_for(milliseconds(1));
        const auto start = Clock::now();
        result = socket.ContinueConnect();
        longest = std::max(longest, std::chrono::duration_cast<milliseconds>(Clock::now() - start));
    }
    ASSERT_EQ(result, 1) << "error " << socket.GetLastError();
    EXPECT_LE(longest, atOnce);
    EXPECT_FALSE(socket.IsConnecting());
    ASSERT_TRUE(server.WaitForConnection(0, kSoon));
    const Bytes hello = Pattern(5, 3);
    EXPECT_EQ(socket.Send(hello.data(), 5, 1000), 5);
    EXPECT_EQ(server.Receive(0, 5, kSoon), hello);
}

TEST(CSocketConnect, Ipv6Loopback) {
    Ipv6Listener listener;
    if (!listener.Ok()) {
        GTEST_SKIP() << "::1 is not available here";
    }
    CSocket socket;
    ASSERT_EQ(socket.Connect("::1", listener.Port(), 2000), 1) << "error " << socket.GetLastError();
    const kavra::test::net::Handle peer = listener.Accept(kSoon);
    ASSERT_NE(peer, kavra::test::net::INVALID_HANDLE);
    const char hello[] = "v6";
    EXPECT_EQ(socket.Send(hello, 2, 1000), 2);
    char got[2] = {};
    ASSERT_EQ(kavra::test::net::WaitReadable(peer, 2000), 1);
    EXPECT_EQ(kavra::test::net::RecvAll(peer, got, 2), 2);
    EXPECT_EQ(std::memcmp(got, hello, 2), 0);
    kavra::test::net::Close(peer);
}

TEST(CSocketConnect, RefusedPortFailsQuicklyWithError) {
    unsigned short port = 0;
    {
        LoopbackServer server;
        port = server.Port();
        server.Stop();
    }
    CSocket socket;
    const auto start = Clock::now();
    EXPECT_EQ(socket.Connect("127.0.0.1", port, static_cast<unsigned int>(PatientMs(3000))), 0);
    EXPECT_LT(ElapsedMs(start), PatientMs(2000));
    EXPECT_NE(socket.GetLastError(), 0);
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_FALSE(socket.IsConnected());
    // Nothing to close: the failure shows in the result, not as a failed
    // connection that the owner has to clean up.
    EXPECT_FALSE(socket.HasFailed());
    // The endpoint is remembered all the same, for Reconnect.
    EXPECT_EQ(socket.GetPort(), port);
}

TEST(CSocketConnect, UnresolvableHostFails) {
    CSocket socket;
    EXPECT_EQ(socket.Connect("no such host.invalid", 80, 1000), 0);
    EXPECT_NE(socket.GetLastError(), 0);
    EXPECT_FALSE(socket.IsOpen());
}

TEST(CSocketConnect, ConnectAgainClosesThePreviousConnection) {
    LoopbackServer server;
    CSocket socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", server.Port(), 2000), 1);
    ASSERT_TRUE(server.WaitForConnection(0, kSoon));
    ASSERT_EQ(socket.Connect("127.0.0.1", server.Port(), 2000), 1);
    ASSERT_TRUE(server.WaitForConnection(1, kSoon));
    EXPECT_TRUE(server.WaitForClientClose(0, kSoon));
}

TEST(CSocketConnect, ReconnectUsesTheRememberedEndpoint) {
    CSocket fresh;
    EXPECT_EQ(fresh.Reconnect(500), 0);
    EXPECT_NE(fresh.GetLastError(), 0);

    LoopbackServer server;
    CSocket socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", server.Port(), 2000), 1);
    socket.Close();
    EXPECT_FALSE(socket.IsOpen());
    ASSERT_EQ(socket.Reconnect(2000), 1);
    EXPECT_TRUE(socket.IsConnected());
    EXPECT_TRUE(server.WaitForConnection(1, kSoon));
}

TEST(CSocketIdle, TransfersWithoutConnectionReturnZeroAtOnce) {
    CSocket socket;
    char buffer[8] = {};
    const auto start = Clock::now();
    EXPECT_EQ(socket.Send(buffer, 8, PatientMs(2000)), 0);
    EXPECT_EQ(socket.Receive(buffer, 8, PatientMs(2000)), 0);
    EXPECT_LT(ElapsedMs(start), PatientMs(1000));
    EXPECT_EQ(socket.Available(), -1);
    EXPECT_FALSE(socket.PeerClosed());
    EXPECT_EQ(socket.GetLocalPort(), 0);
}

TEST_F(CSocketConnected, RoundTripBothDirections) {
    const Bytes out = Pattern(1000, 7);
    EXPECT_EQ(m_socket.Send(out.data(), static_cast<int>(out.size()), 2000), 1000);
    EXPECT_EQ(m_server.Receive(0, out.size(), kSoon), out);

    const Bytes back = Pattern(300, 11);
    ASSERT_TRUE(m_server.Send(0, back));
    Bytes in(back.size());
    EXPECT_EQ(m_socket.Receive(in.data(), static_cast<int>(in.size()), PatientMs(2000)), 300);
    EXPECT_EQ(in, back);
    EXPECT_TRUE(m_socket.IsConnected());
}

TEST_F(CSocketConnected, LargeSendWaitsForRoomWhileThePeerReads) {
    // Far more than the socket buffers hold, so the send has to wait for the
    // peer to drain them, more than once.
    const Bytes out = Pattern(8 * 1024 * 1024, 3);
    Bytes seen;
    std::thread reader(
        [&] { seen = m_server.Receive(0, out.size(), milliseconds(PatientMs(20000))); });
    const int sent = m_socket.Send(out.data(), static_cast<int>(out.size()), PatientMs(20000));
    reader.join();
    EXPECT_EQ(sent, static_cast<int>(out.size()));
    EXPECT_TRUE(seen == out);
}

// Part of the bytes went and the rest never can: anything written later
// would be read as their rest, so the socket fails itself.
TEST_F(CSocketConnected, SendCutShortByItsTimeoutFailsTheSocket) {
    const Bytes out(64 * 1024 * 1024, 0x5A);
    const auto start = Clock::now();
    const int sent = m_socket.Send(out.data(), static_cast<int>(out.size()), 300);
    const auto elapsed = ElapsedMs(start);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(out.size()));
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, PatientMs(5000));
    EXPECT_TRUE(m_socket.HasFailed());
    EXPECT_EQ(m_socket.GetLastError(), ETIMEDOUT);
    EXPECT_EQ(m_socket.Send(out.data(), 10, 100), 0);
}

TEST_F(CSocketConnected, ReceiveTimeoutReturnsThePartialCount) {
    const Bytes part = Pattern(5, 1);
    ASSERT_TRUE(m_server.Send(0, part));
    Bytes in(10, 0);
    const auto start = Clock::now();
    const int got = m_socket.Receive(in.data(), 10, 300);
    const auto elapsed = ElapsedMs(start);
    EXPECT_EQ(got, 5);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), in.begin()));
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, PatientMs(3000));
    EXPECT_FALSE(m_socket.HasFailed());
    EXPECT_TRUE(m_socket.IsConnected());

    // The connection is still usable after a timeout.
    const Bytes rest = Pattern(5, 2);
    ASSERT_TRUE(m_server.Send(0, rest));
    EXPECT_EQ(m_socket.Receive(in.data(), 5, PatientMs(2000)), 5);
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), in.begin()));
}

TEST_F(CSocketConnected, ReceiveGathersPiecesThatArriveLater) {
    const Bytes whole = Pattern(40, 9);
    std::thread writer([&] {
        for (std::size_t i = 0; i < whole.size(); i += 10) {
            std::this_thread::sleep_for(milliseconds(20));
            m_server.Send(0, whole.data() + i, 10);
        }
    });
    Bytes in(whole.size());
    EXPECT_EQ(m_socket.Receive(in.data(), static_cast<int>(in.size()), PatientMs(5000)), 40);
    writer.join();
    EXPECT_EQ(in, whole);
}

TEST_F(CSocketConnected, PeerCloseGivesShortReceiveAndMarksFailed) {
    const Bytes last = Pattern(3, 4);
    ASSERT_TRUE(m_server.Send(0, last));
    m_server.CloseConnection(0);
    Bytes in(10, 0);
    const auto start = Clock::now();
    EXPECT_EQ(m_socket.Receive(in.data(), 10, PatientMs(3000)), 3);
    // The close ends the wait; it does not run into the timeout.
    EXPECT_LT(ElapsedMs(start), PatientMs(2000));
    EXPECT_TRUE(std::equal(last.begin(), last.end(), in.begin()));
    EXPECT_TRUE(m_socket.HasFailed());
    EXPECT_EQ(m_socket.GetLastError(), 0);
    EXPECT_FALSE(m_socket.IsConnected());
    // The descriptor stays until the owner closes it.
    EXPECT_TRUE(m_socket.IsOpen());
    EXPECT_EQ(m_socket.Receive(in.data(), 10, 3000), 0);
    EXPECT_EQ(m_socket.Send(in.data(), 10, 3000), 0);

    m_socket.Close();
    EXPECT_FALSE(m_socket.IsOpen());
    EXPECT_FALSE(m_socket.HasFailed());
}

TEST_F(CSocketConnected, SendAfterPeerCloseFailsWithoutSignal) {
    if (!kavra::test::net::ShutdownResetsLaterData()) {
        GTEST_SKIP() << "the peer's shut-down socket keeps taking data here, so nothing fails";
    }
    m_server.CloseConnection(0);
    const Bytes out(64 * 1024, 1);
    // The first write may still be accepted locally; the reset it provokes
    // fails a later one. SIGPIPE would kill the test binary.
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i) {
        m_socket.Send(out.data(), static_cast<int>(out.size()), 200);
        failed = m_socket.HasFailed();
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_TRUE(failed);
    EXPECT_NE(m_socket.GetLastError(), 0);
}

TEST_F(CSocketConnected, AvailableCountsWaitingBytes) {
    EXPECT_EQ(m_socket.Available(), 0);
    EXPECT_FALSE(m_socket.PeerClosed());
    ASSERT_TRUE(m_server.Send(0, Pattern(7, 5)));
    EXPECT_TRUE(WaitUntil([&] { return m_socket.Available() == 7; }));
    // Data waiting is not a close.
    EXPECT_FALSE(m_socket.PeerClosed());
    Bytes in(7);
    EXPECT_EQ(m_socket.Receive(in.data(), 7, PatientMs(1000)), 7);
    EXPECT_EQ(m_socket.Available(), 0);
    EXPECT_FALSE(m_socket.HasFailed());
}

TEST_F(CSocketConnected, PeerClosedReportsAnOrderlyClose) {
    m_server.CloseConnection(0);
    EXPECT_TRUE(WaitUntil([&] { return m_socket.PeerClosed(); }));
    EXPECT_TRUE(m_socket.HasFailed());
    EXPECT_EQ(m_socket.GetLastError(), 0);
    EXPECT_EQ(m_socket.Available(), 0);
}

TEST(CSocketAttach, TakesAConnectedDescriptor) {
    kavra::test::net::Handle pair[2] = {-1, -1};
    ASSERT_TRUE(kavra::test::net::ConnectedPair(pair));
    {
        CSocket socket;
        socket.Attach(pair[0]);
        EXPECT_TRUE(socket.IsConnected());
        EXPECT_EQ(socket.GetHandle(), pair[0]);
        EXPECT_TRUE(socket.GetHost().empty());

        const char text[] = "abc";
        EXPECT_EQ(socket.Send(text, 3, 1000), 3);
        char got[3] = {};
        EXPECT_EQ(kavra::test::net::RecvAll(pair[1], got, 3), 3);
        EXPECT_EQ(std::memcmp(got, text, 3), 0);

        // Attached descriptors are made non-blocking: a receive with nothing
        // to read returns at its timeout.
        const auto start = Clock::now();
        EXPECT_EQ(socket.Receive(got, 3, 100), 0);
        EXPECT_LT(ElapsedMs(start), PatientMs(3000));
        EXPECT_FALSE(socket.HasFailed());

        // No endpoint of its own to go back to.
        EXPECT_EQ(socket.Reconnect(100), 0);
        EXPECT_FALSE(socket.IsOpen());
    }
    // The socket closed its end (ownership passed to it): the peer sees EOF.
    char byte = 0;
    EXPECT_EQ(kavra::test::net::RecvAll(pair[1], &byte, 1), 0);
    kavra::test::net::Close(pair[1]);
}

} // namespace
