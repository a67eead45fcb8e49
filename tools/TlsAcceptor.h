// The server side of the peer's TLS handshakes. Each accepted connection's
// handshake runs on a thread of its own, bounded in time, so that a client
// that is slow to speak TLS, or speaks none (a plain client, which waits for
// the server), holds up no other connection of the one serving thread. A
// finished handshake, good or failed, waits for TakeFinished and calls the
// wake function given at construction, so the serving thread's wait ends.
//
// Begin, TakeFinished and Stop: the serving thread (or its owner once that
// thread has ended). The handshake threads touch only their own connection
// and the list of finished ones.
#pragma once

#include "ServerSocket.h"

#include "base/os/tls/TlsEngine.h"
#include "base/os/tls/TlsStream.h"

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

class TlsAcceptor {
public:
    // The longest a client may take over its handshake.
    static constexpr int HANDSHAKE_LIMIT_MS = 10000;

    struct Finished {
        std::uint64_t id = 0;
        ServerSocket::Handle handle = ServerSocket::INVALID_HANDLE;
        // Null when the handshake failed; the handle is closed then.
        std::unique_ptr<os::TlsStream> stream;
        std::string failure;
    };

    // Serves with the certificate (chain) and key in these PEM files. Makes
    // one engine at once, so that a file that cannot be used fails here:
    // throws std::runtime_error with the reason.
    TlsAcceptor(std::string certFile, std::string keyFile, std::function<void()> wake);
    // Stops.
    ~TlsAcceptor();
    TlsAcceptor(const TlsAcceptor&) = delete;
    TlsAcceptor& operator=(const TlsAcceptor&) = delete;

    // Starts the handshake of connection id on handle (accepted,
    // non-blocking); the acceptor owns the handle until it is finished.
    void Begin(std::uint64_t id, ServerSocket::Handle handle);
    // The handshakes finished since the last call.
    std::vector<Finished> TakeFinished();
    // Ends the handshakes under way (within the stream's cancel poll) and
    // closes every connection not yet taken; Begin may start new ones after.
    void Stop();

private:
    void handshake(std::uint64_t id, ServerSocket::Handle handle);
    void joinFinished(const std::vector<Finished>& finished);

    os::TlsSettings m_settings;
    std::function<void()> m_wake;
    std::atomic<bool> m_cancel{false};
    std::map<std::uint64_t, std::thread> m_threads;
    std::mutex m_mutex;
    std::vector<Finished> m_finished;
};

} // namespace kavra::tool
