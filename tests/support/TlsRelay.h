// A TCP relay on 127.0.0.1 (any free port) between a TLS client and a TLS
// server on upstreamPort, one connection at a time, that damages the
// server's stream on request: it reads the records the server sends and
// either flips one bit in the middle of a record (garbage inside TLS) or
// forwards half of a record and then resets the client's connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace kavra::test {

class TlsRelay {
public:
    enum class Fault { None, FlipBit, ResetMidRecord };

    explicit TlsRelay(unsigned short upstreamPort);
    ~TlsRelay();
    TlsRelay(const TlsRelay&) = delete;
    TlsRelay& operator=(const TlsRelay&) = delete;

    unsigned short Port() const { return m_port; }
    // Applies fault to the next record the server starts sending.
    void Inject(Fault fault) { m_armed.store(fault); }
    // Faults applied so far.
    int FaultsDone() const { return m_done.load(); }

private:
    // Where the server-to-client stream stands in its records.
    struct Cursor {
        unsigned char header[5] = {};
        std::size_t headerBytes = 0;
        std::size_t bodyTotal = 0;
        std::size_t bodySeen = 0;
        Fault fault = Fault::None;
        bool reset = false;
    };

    void serve();
    bool relay(std::intptr_t client, std::intptr_t server);
    // Forwards a chunk from the server; false once the fault ended the connection.
    bool forwardDown(char* data, std::size_t size, Cursor& cursor, std::intptr_t client);

    unsigned short m_upstream;
    std::intptr_t m_listener;
    unsigned short m_port = 0;
    std::atomic<Fault> m_armed{Fault::None};
    std::atomic<int> m_done{0};
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

} // namespace kavra::test
