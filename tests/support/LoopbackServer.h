// A plain TCP peer on 127.0.0.1 for tests, written with the raw sockets of
// TestSocket.h so that it shares no code with the library under test.
//
// Listens on an ephemeral port (port 0). Accepts connections on its own
// thread; each accepted connection is kept in order. Tests read and write
// raw bytes on a connection with timeouts, close connections, and stop the
// listener (to test refused connections and reconnection).
#pragma once

#include "support/TestSocket.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavra::test {

class LoopbackServer {
public:
    // Starts listening on 127.0.0.1, port 0 unless port is given.
    explicit LoopbackServer(unsigned short port = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    unsigned short Port() const { return m_port; }

    // Waits for the index-th accepted connection (0-based); true when it is
    // there within the timeout.
    bool WaitForConnection(std::size_t index, std::chrono::milliseconds timeout);
    std::size_t ConnectionCount() const;

    // Writes all bytes to connection index; true when all were written.
    bool Send(std::size_t index, const void* data, std::size_t size);
    bool Send(std::size_t index, const std::vector<unsigned char>& bytes);
    // Reads exactly size bytes from connection index unless the timeout
    // passes or the peer closes; returns what was read.
    std::vector<unsigned char> Receive(std::size_t index, std::size_t size,
                                       std::chrono::milliseconds timeout);
    // Reads whatever arrives until the connection stays quiet for quiet, or
    // closes, or total passes.
    std::vector<unsigned char> ReceiveUntilQuiet(std::size_t index, std::chrono::milliseconds quiet,
                                                 std::chrono::milliseconds total);
    // True when the client closed connection index within the timeout.
    bool WaitForClientClose(std::size_t index, std::chrono::milliseconds timeout);
    // Closes connection index from the server side.
    void CloseConnection(std::size_t index);
    // Resets connection index; no other thread may be using it.
    void ResetConnection(std::size_t index);
    // Stops listening and closes every connection.
    void Stop();

private:
    void acceptLoop();
    net::Handle connectionFd(std::size_t index) const;

    net::Handle m_listenFd = net::INVALID_HANDLE;
    unsigned short m_port = 0;
    std::thread m_acceptThread;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<net::Handle> m_connections;
    bool m_stopped = false;
    // Read by the accept loop between its short waits.
    std::atomic<bool> m_stopping{false};
};

// A frame as the wire carries it: ten 0xFF, the big-endian length, the body.
std::vector<unsigned char> MakeFrame(const std::vector<unsigned char>& body);
std::vector<unsigned char> MakeHeader(std::int32_t length);

} // namespace kavra::test
