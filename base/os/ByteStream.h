// The transport seam: one connection's bytes as the socket moves them. Plain
// TCP (TcpStream) is at the bottom; each layer above it (a proxy's tunnel,
// TLS) wraps the stream below and is a stream itself, so CSocket reads
// ahead, corks, waits and applies its rules to whatever the chain is.
//
// Transfers keep the contract of os::SendSome and os::RecvSome: > 0 bytes
// moved, 0 from RecvSome at the peer's orderly end, -1 with error set
// (EAGAIN: nothing can move now; wait on Handle() and call again). A call may
// make progress inside the stream without moving a caller's byte (a partial
// record came), so a loop waits again rather than treating readiness as data.
//
// Units: a stream that cuts what it sends into units of its own (TLS records)
// may hold part of one, or several, after SendSome (HasPendingOutput). A
// writer that gives up then has torn the stream, and the bytes SendSome took
// for every unit not yet on the wire whole (UnsentTaken) do not count as
// sent. A plain stream holds nothing.
//
// One thread at a time: the socket's owner.
#pragma once

#include "base/os/SocketApi.h"

#include <cstddef>
#include <string>

namespace kavra {

class ByteStream {
public:
    ByteStream() = default;
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;
    virtual ~ByteStream() = default;

    // The descriptor a wait for this stream's progress watches.
    virtual os::SocketHandle Handle() const = 0;

    virtual long SendSome(const void* src, std::size_t n, int& error) = 0;
    virtual long RecvSome(void* dst, std::size_t n, int& error) = 0;
    // Sends what the stream holds of a unit without waiting: true when
    // nothing is left, false with error set (EAGAIN: no room now).
    virtual bool FlushSome(int& error) = 0;
    virtual bool HasPendingOutput() const = 0;
    // What SendSome took whose units are not on the wire whole while output
    // is pending (see above): a tail of the last SendSome's bytes; 0 when
    // nothing is pending.
    virtual std::size_t UnsentTaken() const = 0;
    // Bytes received into the stream and not yet returned: they no longer
    // wake a wait on Handle().
    virtual std::size_t BufferedInput() const = 0;
    // Whether the peer has ended the stream, without waiting: Data when bytes
    // wait (in the stream or on the descriptor), Closed at an orderly end,
    // Failed with error set, Empty otherwise. A stream that must read to tell
    // keeps what it read as buffered input.
    virtual os::PeekResult PeekForClose(int& error) = 0;
    // Ends the stream in order as far as one write that does not wait can;
    // the owner closes the descriptor afterwards.
    virtual void Shutdown() = 0;

    // The last failure of this stream's own, for people; "" when none.
    virtual const std::string& Detail() const = 0;
    // Whether the bytes are encrypted on the wire, and with which protocol
    // version (as on the wire, 0x0304 for TLS 1.3; 0 and "" when plain).
    virtual bool IsEncrypted() const = 0;
    virtual int ProtocolVersion() const = 0;
    virtual std::string ProtocolName() const = 0;
    // Whether the encryption resumed a session of an earlier connection
    // instead of a full handshake; false when plain.
    virtual bool Resumed() const = 0;
};

} // namespace kavra
