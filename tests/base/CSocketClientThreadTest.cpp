#include "support/LoopbackServer.h"
#include "support/Slowdown.h"

#include <kavra/base/CServerStatus.h>
#include <kavra/base/CSocket.h>
#include <kavra/base/CSocketClientThread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using kavra::test::LoopbackServer;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const milliseconds kSoon = kavra::test::Patient(milliseconds(5000));

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

// Counts the connection events and drains whatever the server sends.
class ClientThread : public CSocketClientThread {
public:
    ~ClientThread() override { Destroy(); }

    std::atomic<int> connects{0};
    std::atomic<int> closes{0};

protected:
    void OnSocketConnect(int error) override {
        if (error == 0) {
            ++connects;
        }
    }
    void OnSocketClose(int error) override {
        ++closes;
        CSocketClientThread::OnSocketClose(error);
    }
    void OnSocketReceive(int readable) override {
        std::vector<char> sink(static_cast<std::size_t>(readable));
        RecvDataTimeout(sink.data(), readable, 1000);
    }
};

// Counts its destructions, to prove who deletes an owned socket, and how often.
class CountingSocket : public CSocket {
public:
    explicit CountingSocket(std::atomic<int>& destroyed) : m_destroyed(destroyed) {}
    ~CountingSocket() override { ++m_destroyed; }

private:
    std::atomic<int>& m_destroyed;
};

CServerStatus FastServer(unsigned short port) {
    CServerStatus server("127.0.0.1", port);
    server.SetBackoff(20, 200);
    server.SetConnectTimeoutMs(1000);
    return server;
}

TEST(CServerStatusBackoff, DoublesFromTheInitialDelayUpToTheCap) {
    CServerStatus status;
    EXPECT_EQ(status.DelayForAttempt(1), 100U);
    EXPECT_EQ(status.DelayForAttempt(2), 200U);
    EXPECT_EQ(status.DelayForAttempt(3), 400U);
    EXPECT_EQ(status.DelayForAttempt(6), 3200U);
    EXPECT_EQ(status.DelayForAttempt(7), 5000U);
    EXPECT_EQ(status.DelayForAttempt(1000000), 5000U);
    EXPECT_EQ(status.DelayForAttempt(0), 100U);
    EXPECT_EQ(status.DelayForAttempt(-5), 100U);

    status.SetBackoff(300, 1000);
    EXPECT_EQ(status.DelayForAttempt(1), 300U);
    EXPECT_EQ(status.DelayForAttempt(2), 600U);
    EXPECT_EQ(status.DelayForAttempt(3), 1000U);
}

TEST(CServerStatusBackoff, NoOverflowNearTheTopOfTheRange) {
    CServerStatus status;
    status.SetBackoff(3000000000U, 4000000000U);
    EXPECT_EQ(status.DelayForAttempt(1), 3000000000U);
    EXPECT_EQ(status.DelayForAttempt(2), 4000000000U);
    EXPECT_EQ(status.DelayForAttempt(2147483647), 4000000000U);

    status.SetBackoff(0, 0);
    EXPECT_EQ(status.DelayForAttempt(2147483647), 0U);
}

TEST(CServerStatusBackoff, MaximumBelowInitialIsRaised) {
    CServerStatus status;
    status.SetBackoff(100, 50);
    EXPECT_EQ(status.GetMaximumDelayMs(), 100U);
    EXPECT_EQ(status.DelayForAttempt(5), 100U);
}

TEST(CServerStatusBackoff, DefaultsAndEndpoint) {
    CServerStatus status("example", 4242);
    EXPECT_EQ(status.GetHost(), "example");
    EXPECT_EQ(status.GetPort(), 4242);
    EXPECT_TRUE(status.GetReconnect());
    EXPECT_EQ(status.GetConnectTimeoutMs(), 3000U);
    status.SetServer("other", 1);
    EXPECT_EQ(status.GetHost(), "other");
    EXPECT_EQ(status.GetPort(), 1);
}

TEST(CSocketClientThreadBasics, ClassName) {
    ClientThread thread;
    EXPECT_STREQ(thread.GetClassNameA(), "CSocketClientThread");
}

TEST(CSocketClientThreadBasics, SetSocketWithServerMakesAndConnectsASocket) {
    LoopbackServer server;
    ClientThread thread;
    CServerStatus status = FastServer(server.Port());
    EXPECT_EQ(thread.SetSocket(nullptr, 0, &status), 1);
    ASSERT_NE(thread.GetSocket(), nullptr);
    EXPECT_TRUE(thread.GetSocket()->IsConnected());
    EXPECT_EQ(thread.GetServerStatus().GetPort(), server.Port());
    EXPECT_TRUE(server.WaitForConnection(0, kSoon));
}

TEST(CSocketClientThreadBasics, SetSocketWithNothingDetaches) {
    LoopbackServer server;
    ClientThread thread;
    CServerStatus status = FastServer(server.Port());
    ASSERT_EQ(thread.SetSocket(nullptr, 0, &status), 1);
    ASSERT_TRUE(server.WaitForConnection(0, kSoon));
    EXPECT_EQ(thread.SetSocket(nullptr, 0, nullptr), 0);
    EXPECT_EQ(thread.GetSocket(), nullptr);
    // The owned socket went with it.
    EXPECT_TRUE(server.WaitForClientClose(0, kSoon));
}

TEST(CSocketClientThreadReconnect, ServerCloseLeadsToAReconnection) {
    LoopbackServer server;
    ClientThread thread;
    CServerStatus status = FastServer(server.Port());
    ASSERT_EQ(thread.SetSocket(nullptr, 0, &status), 1);
    CSocket* const attached = thread.GetSocket();
    ASSERT_TRUE(server.WaitForConnection(0, kSoon));
    ASSERT_EQ(thread.Create(), 1);

    // Applications test the pointer from their own threads; it must never be
    // seen null or changed while the connection comes back.
    std::atomic<bool> watching{true};
    std::atomic<int> badSightings{0};
    std::thread watcher([&] {
        while (watching) {
            if (thread.GetSocket() != attached) {
                ++badSightings;
            }
            std::this_thread::sleep_for(milliseconds(1));
        }
    });

    server.CloseConnection(0);
    EXPECT_TRUE(server.WaitForConnection(1, kSoon));
    EXPECT_TRUE(WaitUntil([&] { return thread.GetReconnectCount() == 1; }));
    // The first connection is reported as the thread starts, then the new one.
    EXPECT_TRUE(WaitUntil([&] { return thread.connects.load() == 2; }));
    watching = false;
    watcher.join();

    EXPECT_EQ(badSightings.load(), 0);
    EXPECT_EQ(thread.closes.load(), 1);
    ASSERT_EQ(thread.Destroy(), 1);
    EXPECT_EQ(thread.GetReconnectCount(), 1U);
    EXPECT_EQ(server.ConnectionCount(), 2U);
    // The stop closed the connection; the socket stays attached.
    ASSERT_NE(thread.GetSocket(), nullptr);
    EXPECT_FALSE(thread.GetSocket()->IsOpen());
    EXPECT_TRUE(server.WaitForClientClose(1, kSoon));
}

TEST(CSocketClientThreadReconnect, ServerThatStartsLaterIsReachedThroughBackoff) {
    unsigned short port = 0;
    {
        LoopbackServer probe;
        port = probe.Port();
    }
    ClientThread thread;
    CServerStatus status = FastServer(port);
    EXPECT_EQ(thread.SetSocket(nullptr, 0, &status), 0);
    EXPECT_NE(thread.GetSocket(), nullptr);
    ASSERT_EQ(thread.Create(), 1);

    // Let a few attempts fail first.
    ASSERT_TRUE(WaitUntil([&] { return thread.GetConnectFailures() >= 2; }));
    EXPECT_EQ(thread.GetReconnectCount(), 0U);
    std::optional<LoopbackServer> server;
    try {
        server.emplace(port);
    } catch (const std::exception& e) {
        GTEST_SKIP() << "port " << port << " was taken meanwhile: " << e.what();
    }
    EXPECT_TRUE(server->WaitForConnection(0, kSoon));
    EXPECT_TRUE(WaitUntil([&] { return thread.GetReconnectCount() == 1; }));
    // The count rises just before the worker runs the handler: wait for both.
    EXPECT_TRUE(WaitUntil([&] { return thread.connects.load() == 1; }));
    ASSERT_EQ(thread.Destroy(), 1);
    EXPECT_EQ(thread.connects.load(), 1);
    EXPECT_FALSE(thread.GetSocket()->IsOpen());
    EXPECT_TRUE(server->WaitForClientClose(0, kSoon));
}

TEST(CSocketClientThreadReconnect, DisabledReconnectionLeavesTheConnectionDown) {
    LoopbackServer server;
    ClientThread thread;
    CServerStatus status = FastServer(server.Port());
    status.SetReconnect(false);
    ASSERT_EQ(thread.SetSocket(nullptr, 0, &status), 1);
    ASSERT_TRUE(server.WaitForConnection(0, kSoon));
    ASSERT_EQ(thread.Create(), 1);

    server.CloseConnection(0);
    ASSERT_TRUE(WaitUntil([&] { return thread.closes.load() == 1; }));
    // Well beyond several backoff delays of this server status.
    std::this_thread::sleep_for(kavra::test::Patient(milliseconds(400)));
    ASSERT_EQ(thread.Destroy(), 1);
    EXPECT_EQ(server.ConnectionCount(), 1U);
    EXPECT_EQ(thread.GetReconnectCount(), 0U);
    EXPECT_EQ(thread.closes.load(), 1);
    ASSERT_NE(thread.GetSocket(), nullptr);
    EXPECT_FALSE(thread.GetSocket()->IsOpen());
}

TEST(CSocketClientThreadReconnect, GivenSocketWithoutServerReconnectsToItsOwnEndpoint) {
    LoopbackServer server;
    auto socket = std::make_unique<CSocket>();
    ASSERT_EQ(socket->Connect("127.0.0.1", server.Port(), 2000), 1);
    ClientThread thread;
    EXPECT_EQ(thread.SetSocket(socket.get(), 0, nullptr), 1);
    EXPECT_EQ(thread.GetServerStatus().GetHost(), "127.0.0.1");
    EXPECT_EQ(thread.GetServerStatus().GetPort(), server.Port());
    EXPECT_TRUE(thread.GetServerStatus().GetReconnect());
    ASSERT_TRUE(server.WaitForConnection(0, kSoon));
    ASSERT_EQ(thread.Create(), 1);

    server.CloseConnection(0);
    EXPECT_TRUE(server.WaitForConnection(1, kSoon));
    EXPECT_TRUE(WaitUntil([&] { return thread.GetReconnectCount() == 1; }));
    ASSERT_EQ(thread.Destroy(), 1);
    EXPECT_EQ(thread.GetSocket(), socket.get());
}

TEST(CSocketClientThreadOwnership, OwnedSocketIsDeletedExactlyOnce) {
    LoopbackServer server;
    std::atomic<int> destroyed{0};
    {
        ClientThread thread;
        auto* socket = new CountingSocket(destroyed);
        ASSERT_EQ(socket->Connect("127.0.0.1", server.Port(), 2000), 1);
        EXPECT_EQ(thread.SetSocket(socket, 1, nullptr), 1);
        // Attaching the same owned socket again must not delete it.
        EXPECT_EQ(thread.SetSocket(socket, 1, nullptr), 1);
        EXPECT_EQ(destroyed.load(), 0);
        ASSERT_EQ(thread.Create(), 1);
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(CSocketClientThreadOwnership, ReplacingAnOwnedSocketDeletesIt) {
    std::atomic<int> destroyedFirst{0};
    std::atomic<int> destroyedSecond{0};
    {
        ClientThread thread;
        auto* first = new CountingSocket(destroyedFirst);
        auto* second = new CountingSocket(destroyedSecond);
        EXPECT_EQ(thread.SetSocket(first, 1, nullptr), 0);
        EXPECT_EQ(thread.SetSocket(second, 1, nullptr), 0);
        EXPECT_EQ(destroyedFirst.load(), 1);
        EXPECT_EQ(destroyedSecond.load(), 0);
        EXPECT_EQ(thread.GetSocket(), second);
    }
    EXPECT_EQ(destroyedFirst.load(), 1);
    EXPECT_EQ(destroyedSecond.load(), 1);
}

TEST(CSocketClientThreadOwnership, BorrowedSocketIsLeftToItsOwner) {
    std::atomic<int> destroyed{0};
    auto socket = std::make_unique<CountingSocket>(destroyed);
    {
        ClientThread thread;
        EXPECT_EQ(thread.SetSocket(socket.get(), 0, nullptr), 0);
        EXPECT_EQ(thread.GetSocket(), socket.get());
    }
    EXPECT_EQ(destroyed.load(), 0);
    socket.reset();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(CSocketClientThreadOwnership, TakingBackAnOwnedSocketStopsTheDelete) {
    std::atomic<int> destroyed{0};
    auto* socket = new CountingSocket(destroyed);
    {
        ClientThread thread;
        thread.SetSocket(socket, 1, nullptr);
        thread.SetSocket(socket, 0, nullptr);
    }
    EXPECT_EQ(destroyed.load(), 0);
    delete socket;
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(CSocketClientThreadOwnership, DestroyWhileReconnectingIsPrompt) {
    unsigned short port = 0;
    {
        LoopbackServer probe;
        port = probe.Port();
    }
    ClientThread thread;
    CServerStatus status = FastServer(port);
    EXPECT_EQ(thread.SetSocket(nullptr, 0, &status), 0);
    ASSERT_EQ(thread.Create(), 1);
    ASSERT_TRUE(WaitUntil([&] { return thread.GetConnectFailures() >= 1; }));
    const auto start = Clock::now();
    EXPECT_EQ(thread.Destroy(), 1);
    EXPECT_LT(Clock::now() - start, kavra::test::Patient(milliseconds(3000)));
}

} // namespace
