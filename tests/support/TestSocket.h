// The socket calls that tests make on their own side of a connection: thin
// wrappers over the platform layer (base/os), linked into the test programs
// as their own copy.
//
// Handles are plain sockets; errors come back errno-style (<cerrno>): EAGAIN
// when a non-blocking call would block, ECONNRESET for a reset, EINTR for an
// interrupted call; anything else is the platform layer's code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavra::test::net {

using Handle = std::intptr_t;
inline constexpr Handle INVALID_HANDLE = -1;

enum class Family { Ipv4, Ipv6 };

// Listens on the loopback address of family (port 0: any free port). Returns
// INVALID_HANDLE with error set on failure. reuseAddress lets a server bind
// the port of one that just stopped while its connections linger.
Handle ListenLoopback(Family family, unsigned short port, int backlog, bool reuseAddress,
                      int& error);
// The bound local port, or 0.
unsigned short LocalPort(Handle handle);
// Takes one pending connection: INVALID_HANDLE when none is there or the
// listener is gone. The new socket is non-blocking when nonBlocking is set,
// blocking otherwise.
Handle Accept(Handle listener, bool nonBlocking);
// A blocking TCP connection to 127.0.0.1:port, or INVALID_HANDLE.
Handle ConnectLoopback(unsigned short port);
// A connected stream pair, both blocking; false when the system refused.
bool ConnectedPair(Handle pair[2]);

// One transfer: bytes moved, 0 when the peer closed (Recv only), -1 with
// error set. Send never raises SIGPIPE.
long Send(Handle handle, const void* src, std::size_t n, int& error);
long Recv(Handle handle, void* dst, std::size_t n, int& error);
// Writes all n bytes on a blocking socket; false on failure.
bool SendAll(Handle handle, const void* src, std::size_t n);
// Reads until n bytes came, the peer closed or an error: the count read.
long RecvAll(Handle handle, void* dst, std::size_t n);

// Waits up to timeoutMs (negative: no limit) until handle is readable
// (errors and hang-ups count) or writable. 1 when ready, 0 on timeout, -1 on
// error.
int WaitReadable(Handle handle, int timeoutMs);
int WaitWritable(Handle handle, int timeoutMs);

// Shuts both directions down, keeping the handle valid until Close.
void Shutdown(Handle handle);
// True when data that reaches a socket after Shutdown resets the connection,
// as POSIX systems and Windows do. Wine's Winsock keeps the receive side of
// the host's socket open instead, so such data piles up unread there.
bool ShutdownResetsLaterData();
void Close(Handle handle);
// Closes abortively: the peer meets a reset, not an orderly end.
void Reset(Handle handle);

} // namespace kavra::test::net
