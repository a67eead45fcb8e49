// The test peer behind `kavra serve` and the demo: accepts any number of
// clients and, per connection, echoes frames, counts and discards them, or
// sends frames of its own at a rate. Before each frame it writes it may
// inject a fault (garbage, a bad length field, a torn frame, a stall), and it
// may drop a connection after a number of frames. Every random choice comes
// from a generator seeded by the seed and the connection number, so a run
// with the same seed and the same traffic injects the same faults.
//
// One thread serves every connection (a poll over all of them).
#pragma once

#include "ServerSocket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavra::tool {

struct PeerOptions {
    enum class Mode { Echo, Sink, Source };
    Mode mode = Mode::Echo;
    // Source mode: frames per second per connection, and body sizes.
    double rate = 10.0;
    unsigned int sizeMin = 64;
    unsigned int sizeMax = 64;
    // Chances, per frame written, of each fault before it.
    double garbage = 0.0;
    double badLength = 0.0;
    double torn = 0.0;
    double stall = 0.0;
    // A torn frame's missing tail is replaced with filler, so the frames after
    // it stay intact and the receiver gets one junk body instead.
    bool tornPadded = false;
    unsigned int stallMs = 200;
    // Drop a connection after it has written this many frames (0: never), at
    // most maxDrops times over the peer's life (0: no limit).
    std::uint64_t dropAfter = 0;
    std::uint64_t maxDrops = 0;
    std::uint64_t seed = 1;
    bool verbose = false;
};

struct PeerStats {
    std::uint64_t connections = 0;
    std::uint64_t framesIn = 0;
    std::uint64_t bytesIn = 0;
    std::uint64_t skippedIn = 0;
    std::uint64_t badHeadersIn = 0;
    std::uint64_t oversizeIn = 0;
    std::uint64_t framesOut = 0;
    std::uint64_t bytesOut = 0;
    std::uint64_t garbageInjections = 0;
    std::uint64_t garbageBytes = 0;
    std::uint64_t badLengths = 0;
    std::uint64_t tornFrames = 0;
    std::uint64_t stalls = 0;
    std::uint64_t drops = 0;
    // Frames received on a connection being dropped and never echoed.
    std::uint64_t unechoedAtDrop = 0;
};

class Peer {
public:
    using Log = std::function<void(const std::string&)>;

    // Listens on host:port; throws std::runtime_error with a one-line reason.
    Peer(const std::string& host, unsigned short port, PeerOptions options, Log log);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    unsigned short Port() const { return m_socket.Port(); }
    std::string Where() const;

    // Starts and stops the serving thread. Stop closes every connection.
    // Owner's thread.
    void Start();
    void Stop();

    // Any thread.
    PeerStats Stats() const;
    std::string Summary() const;

private:
    struct Connection;

    void run();
    void acceptAll();
    void serveInput(Connection& connection);
    void emit(Connection& connection, const unsigned char* body, std::size_t size);
    void inject(Connection& connection);
    void flush(Connection& connection);
    void close(Connection& connection, const std::string& why);
    void log(const std::string& line) const;

    PeerOptions m_options;
    Log m_log;
    ServerSocket m_socket;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::uint64_t m_nextId = 1;
    std::vector<std::unique_ptr<Connection>> m_connections;
    mutable std::mutex m_statsMutex;
    PeerStats m_stats;
};

} // namespace kavra::tool
