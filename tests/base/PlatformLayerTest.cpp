// The platform layer against real loopback peers: what the tool's server and
// the tests' own peers rely on when they wait over several sockets at once.
#include "serving/ServingApi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

namespace os = kavra::os;

namespace {

constexpr std::size_t CLIENTS = 3;
constexpr int WAIT_MS = 5000;

struct Accepted {
    os::SocketHandle client = os::INVALID_SOCKET_HANDLE;
    os::SocketHandle server = os::INVALID_SOCKET_HANDLE;
    std::string peer;
};

} // namespace

// A peer that resets one of several connections wakes the wait for that one
// alone, and its next receive fails; the listener keeps its port exclusively
// and names each peer as HOST:PORT.
TEST(PlatformLayer, ResetWakesOnlyItsOwnConnectionAmongSeveral) {
    int error = 0;
    const os::SocketHandle listener =
        os::ListenTcp("127.0.0.1", 0, 8, os::PortReuse::Exclusive, error);
    ASSERT_NE(listener, os::INVALID_SOCKET_HANDLE) << error;
    const unsigned short port = os::LocalPort(listener);
    ASSERT_NE(port, 0);
    EXPECT_EQ(os::ListenTcp("127.0.0.1", port, 8, os::PortReuse::Exclusive, error),
              os::INVALID_SOCKET_HANDLE);
    EXPECT_EQ(error, EADDRINUSE);

    std::vector<Accepted> pairs(CLIENTS);
    for (Accepted& pair : pairs) {
        pair.client = os::ConnectTcp("127.0.0.1", port, WAIT_MS, error, nullptr);
        ASSERT_NE(pair.client, os::INVALID_SOCKET_HANDLE) << error;
        pair.server = os::Accept(listener, true, true, &pair.peer);
        ASSERT_NE(pair.server, os::INVALID_SOCKET_HANDLE);
        EXPECT_EQ(pair.peer, os::FormatHostPort("127.0.0.1", os::LocalPort(pair.client)));
    }

    std::vector<os::WaitItem> items(CLIENTS);
    for (std::size_t i = 0; i < CLIENTS; ++i) {
        items[i].handle = pairs[i].server;
        items[i].wantRead = true;
    }
    EXPECT_EQ(os::WaitAny(items, 0, error), 0);

    os::CloseAbortive(pairs[1].client);
    ASSERT_EQ(os::WaitAny(items, WAIT_MS, error), 1);
    EXPECT_FALSE(items[0].readable);
    EXPECT_TRUE(items[1].readable);
    EXPECT_FALSE(items[2].readable);
    char byte = 0;
    EXPECT_LE(os::Recv(pairs[1].server, &byte, 1, error), 0);

    for (std::size_t i = 0; i < CLIENTS; ++i) {
        if (i != 1) {
            os::CloseSocket(pairs[i].client);
        }
        os::CloseSocket(pairs[i].server);
    }
    os::CloseSocket(listener);
}
