// A TLS server on 127.0.0.1 (any free port) for tests of the client: the
// server side of the library's engine and TlsStream over accepted sockets,
// so that the test controls the peer. It echoes what each connection sends
// (or only keeps it), can stop reading, and records for each connection the
// plaintext that arrived and how the connection ended. One thread serves
// every connection.
#pragma once

#include "support/TlsPeers.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavra::test {

class TlsEchoServer {
public:
    // How a connection ended: still open, the client's close_notify, or
    // another end (the error the stream reported).
    static constexpr int OPEN = -1;
    static constexpr int CLOSE_NOTIFY = 0;

    // Whether this system's engine serves TLS with pair (Windows' does not);
    // why not when it does not.
    static bool Supported(const CertPair& pair, std::string& why);

    TlsEchoServer(const CertPair& pair, bool echo);
    ~TlsEchoServer();
    TlsEchoServer(const TlsEchoServer&) = delete;
    TlsEchoServer& operator=(const TlsEchoServer&) = delete;

    unsigned short Port() const { return m_port; }
    // While false, nothing is read from any connection.
    void SetReading(bool reading) { m_reading.store(reading); }

    // Connections whose handshake completed, in order.
    std::size_t Connections() const;
    bool WaitForConnection(std::size_t index, std::chrono::milliseconds timeout) const;
    // Handshakes that failed (the client refused the certificate, or spoke
    // no TLS).
    int FailedHandshakes() const { return m_failedHandshakes.load(); }
    // The plaintext connection index delivered so far, and how it ended.
    std::string Received(std::size_t index) const;
    int EndOf(std::size_t index) const;
    bool WaitForEnd(std::size_t index, std::chrono::milliseconds timeout) const;

private:
    struct Connection;
    void serve();
    void acceptOne();
    void pump(Connection& connection);

    CertPair m_pair;
    bool m_echo;
    std::intptr_t m_listener;
    unsigned short m_port = 0;
    std::atomic<bool> m_reading{true};
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_failedHandshakes{0};
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::thread m_thread;
};

} // namespace kavra::test
