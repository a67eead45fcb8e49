// The test peer behind `kavra serve` and the demo: accepts any number of
// clients and, per connection, echoes frames, counts and discards them, or
// sends frames of its own at a rate. Before each frame it writes it may
// inject a fault (garbage, a bad length field, an oversize frame, a torn
// frame, 0xFF padding, a stall), and it
// may drop a connection after a number of frames. Every random choice comes
// from a generator seeded by the seed and the connection number, so a run
// with the same seed and the same traffic injects the same faults.
//
// With a certificate and key it serves TLS: every fault is then made inside
// the TLS stream (PeerLink), and a dropped connection ends without
// close_notify, as a cut connection would.
//
// One thread serves every connection (a poll over all of them); TLS
// handshakes run beside it (TlsAcceptor).
#pragma once

#include "PeerLink.h"
#include "ServerSocket.h"
#include "TlsAcceptor.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
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
    // A frame of 8813 bytes up to a few KiB, which the client reads and
    // discards whole.
    double oversize = 0.0;
    // 1..20 bytes 0xFF right before the frame, alone (padding) or behind
    // garbage (garbage that ends in 0xFF).
    double padding = 0.0;
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
    // PEM files of the certificate (chain) and key to serve TLS with; empty:
    // plain TCP.
    std::string tlsCertFile;
    std::string tlsKeyFile;
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
    std::uint64_t oversizeFrames = 0;
    std::uint64_t paddingInjections = 0;
    // Every byte of those, the garbage in front of the 0xFF included.
    std::uint64_t paddingBytes = 0;
    std::uint64_t tornFrames = 0;
    std::uint64_t stalls = 0;
    std::uint64_t drops = 0;
    // Frames received on a connection being dropped and never echoed.
    std::uint64_t unechoedAtDrop = 0;
    std::uint64_t tlsHandshakesFailed = 0;
};

class Peer {
public:
    using Log = std::function<void(const std::string&)>;

    // Listens on host:port; throws std::runtime_error with a one-line reason
    // (also for TLS files that cannot be used).
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
    void addConnection(std::uint64_t id, const std::string& who, std::unique_ptr<PeerLink> link);
    void takeHandshakes();
    void serveInput(Connection& connection);
    void emit(Connection& connection, const unsigned char* body, std::size_t size);
    void inject(Connection& connection);
    void injectBadLength(Connection& connection, const std::string& tag);
    void injectOversize(Connection& connection, const std::string& tag);
    void injectPadding(Connection& connection, const std::string& tag);
    void flush(Connection& connection);
    // orderly: over TLS with close_notify; a fault or failure closes without.
    void close(Connection& connection, const std::string& why, bool orderly = false);
    void log(const std::string& line) const;

    PeerOptions m_options;
    Log m_log;
    ServerSocket m_socket;
    std::unique_ptr<TlsAcceptor> m_tls;
    // Connections in their TLS handshake: who they are, by id.
    std::map<std::uint64_t, std::string> m_handshaking;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::uint64_t m_nextId = 1;
    std::vector<std::unique_ptr<Connection>> m_connections;
    mutable std::mutex m_statsMutex;
    PeerStats m_stats;
};

} // namespace kavra::tool
