// The socket calls of the base layer, and the only place that makes them.
//
// Every socket here is a non-blocking, close-on-exec TCP stream. Calls that
// the system may interrupt (EINTR) are retried, or, for waits, resumed with
// the time that remains. Errors come back as errno-style codes (<cerrno>):
// the system's own on POSIX; on Windows the Winsock codes that have an errno
// counterpart are mapped onto it (WSAEWOULDBLOCK is EAGAIN), the others pass
// through as they are.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavra::os {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;

// Resolves host (a name or a numeric IPv4/IPv6 address, any family) and tries
// each address in turn until one connects; all tries together take at most
// about timeoutMs. Returns the connected socket with TCP_NODELAY set, or
// INVALID_SOCKET_HANDLE with error set: EHOSTUNREACH when the name does not
// resolve, ETIMEDOUT when the time ran out, ECANCELED when cancel (if given)
// became true, otherwise the last address's connect error. A connect in
// progress looks at cancel every CONNECT_CANCEL_POLL_MS.
inline constexpr int CONNECT_CANCEL_POLL_MS = 50;
SocketHandle ConnectTcp(const std::string& host, unsigned short port, unsigned int timeoutMs,
                        int& error, const std::atomic<bool>* cancel);

// Gives a socket connected elsewhere the mode that ConnectTcp gives its own
// (non-blocking, close-on-exec, TCP_NODELAY). 0, or the error code.
int PrepareConnected(SocketHandle handle);

void CloseSocket(SocketHandle handle);

// One non-blocking transfer of at most n bytes. Returns the count moved
// (> 0), 0 when RecvSome meets the peer's orderly close, or -1 with error set
// (EAGAIN when the call would block). SendSome never raises SIGPIPE.
long SendSome(SocketHandle handle, const void* src, std::size_t n, int& error);
long RecvSome(SocketHandle handle, void* dst, std::size_t n, int& error);

enum class Direction { Read, Write };

// Waits up to timeoutMs (0: just looks) until handle can move data in the
// given direction; an error or hang-up on the socket counts as ready, so the
// next transfer reports it. 1 when ready, 0 on timeout, -1 with error set.
int WaitReady(SocketHandle handle, Direction direction, int timeoutMs, int& error);

// Bytes that can be read now without blocking, or -1 on error.
int ReadableBytes(SocketHandle handle);

enum class PeekResult { Data, Closed, Empty, Failed };

// Looks at the receive side without taking anything: Data when a byte is
// waiting, Closed when the peer has closed and nothing remains, Empty when
// nothing is there yet, Failed with error set.
PeekResult PeekForClose(SocketHandle handle, int& error);

struct LoopReady {
    bool socket = false;
    bool wake = false;
};

// The socket thread's wait: until socket (skipped when INVALID_SOCKET_HANDLE)
// is readable, hung up or failed, or wakeHandle (a WakeUp's Handle) is
// readable, or timeoutMs passes (negative: no limit). An interrupted wait
// reports nothing ready; the caller's loop simply waits again.
LoopReady WaitLoop(SocketHandle socket, SocketHandle wakeHandle, int timeoutMs);

// The local port of a bound socket, or 0.
unsigned short LocalPort(SocketHandle handle);

} // namespace kavra::os
