// One accepted connection of the peer as its serving loop moves bytes over
// it: plain TCP, or TLS through a TlsStream whose handshake is done. The
// loop works in plaintext either way, so whatever it writes (frames, and
// the garbage, bad headers and torn frames it injects) travels inside the
// TLS stream when there is one, and the client's frame decoder has to
// resynchronise over it exactly as over plain TCP.
//
// Over TLS two things differ, and the loop asks for them: output the socket
// has not taken yet waits in the stream (HasPendingOutput: wait for room and
// Flush), and decrypted input may wait in the stream without the socket
// being readable (HasBufferedInput: read again without waiting).
//
// The serving thread only.
#pragma once

#include "ServerSocket.h"

#include "base/os/tls/TlsStream.h"

#include <cstddef>
#include <memory>
#include <string>

namespace kavra::tool {

class PeerLink {
public:
    // Plain TCP over handle.
    explicit PeerLink(ServerSocket::Handle handle);
    // TLS over handle, through stream (handshake done).
    PeerLink(ServerSocket::Handle handle, std::unique_ptr<os::TlsStream> stream);
    // Closes without close_notify unless Close came first.
    ~PeerLink();
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;

    ServerSocket::Handle Handle() const { return m_handle; }
    bool Encrypted() const { return m_stream != nullptr; }
    // "TLSv1.3"; empty for plain TCP.
    std::string ProtocolName() const;

    // Bytes read (> 0), 0 when nothing is there yet, -1 when the client
    // closed or the connection failed (Why() says which).
    long Read(void* dst, std::size_t n);
    // Bytes taken (0 when the socket has no room), -1 on failure.
    long Write(const void* src, std::size_t n);
    // Sends what waits in the stream; false when the connection failed.
    bool Flush();
    bool HasPendingOutput() const { return m_stream && m_stream->HasPendingOutput(); }
    bool HasBufferedInput() const { return m_stream && m_stream->HasBufferedInput(); }

    // Orderly: over TLS, close_notify first. Otherwise the client meets the
    // end of the TCP stream alone: over TLS a truncated stream, as a
    // dropped connection leaves it.
    void Close(bool orderly);
    // Why the last Read, Write or Flush failed, after "connection #N ".
    const std::string& Why() const { return m_why; }

private:
    // -1 with m_why set from a transfer's error.
    long failed(int error, const char* doing);

    ServerSocket::Handle m_handle;
    std::unique_ptr<os::TlsStream> m_stream;
    std::string m_why;
};

} // namespace kavra::tool
