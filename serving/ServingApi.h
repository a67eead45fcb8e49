// The serving side of the platform layer and the programs' own peers:
// listening, accepting, plain transfers, shutdowns and waits over several
// sockets. The tool, the tests and the benchmarks use it; the library never
// does, so it is built beside the library (kavra_serving), not into it.
#pragma once

#include "base/os/SocketApi.h"

#include <string>
#include <vector>

namespace kavra::os {

// How a listener treats a port that another socket holds. Plain: the
// system's default. Lingering: the port of a closed listener whose
// connections linger may be taken again. Exclusive: as Lingering, and a
// second listener on a port in use fails (Address already in use) on every
// system, Windows included.
enum class PortReuse { Plain, Lingering, Exclusive };

// Resolves host (a name or a numeric address; port 0: any free port), binds
// the first address that takes it and listens, with room for backlog pending
// connections (LARGEST_BACKLOG: as many as the system allows). The listener is blocking and
// not inherited by child processes. INVALID_SOCKET_HANDLE with error set:
// EHOSTUNREACH when host does not resolve, otherwise the last bind or listen
// error.
inline constexpr int LARGEST_BACKLOG = -1;
SocketHandle ListenTcp(const std::string& host, unsigned short port, int backlog, PortReuse reuse,
                       int& error);

// Takes one pending connection, or INVALID_SOCKET_HANDLE when none is there
// (a non-blocking listener) or the listener is gone. The new socket is
// non-blocking when nonBlocking is set, gets TCP_NODELAY when noDelay is set,
// and is not inherited. peer, when given, receives the other side as
// HOST:PORT.
SocketHandle Accept(SocketHandle listener, bool nonBlocking, bool noDelay, std::string* peer);

// One transfer in the socket's own mode (a blocking socket waits). The count
// moved, 0 when Recv meets the peer's orderly close, or -1 with error set
// (EAGAIN when a non-blocking call would block, EINTR when interrupted).
// Send never raises SIGPIPE.
long Send(SocketHandle handle, const void* src, std::size_t n, int& error);
long Recv(SocketHandle handle, void* dst, std::size_t n, int& error);

// Shuts both directions down; the handle stays valid until closed.
void ShutdownBoth(SocketHandle handle);
// Shuts the sending direction down: the peer reads to an orderly end.
void ShutdownSend(SocketHandle handle);
// Closes abortively: the peer meets a reset, not an orderly end.
void CloseAbortive(SocketHandle handle);
// True when data that reaches a socket after ShutdownBoth resets the
// connection, as POSIX systems and Windows do. Wine's Winsock keeps the
// receive side of the host's socket open instead.
bool ShutdownResetsLaterData();

// Two connected stream sockets, both blocking; false when the system refused.
bool ConnectedPair(SocketHandle pair[2]);

// One socket's interest in a wait over several, and what it is ready for
// afterwards. An error or hang-up counts as readable, so that the next
// transfer reports it.
struct WaitItem {
    SocketHandle handle = INVALID_SOCKET_HANDLE;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false;
    bool writable = false;
};

// Waits up to timeoutMs (negative: no limit) until one item is ready as it
// wants. Windows waits on at most 64 sockets at a time; the items beyond
// that are looked at in a later wait. On POSIX any descriptor that poll
// takes (a pipe too) may stand in an item. The count of items ready, 0 on
// timeout, -1 with error set.
int WaitAny(std::vector<WaitItem>& items, int timeoutMs, int& error);

// HOST:PORT, with brackets around an IPv6 host ([::1]:7000).
std::string FormatHostPort(const std::string& host, unsigned short port);

// A one-line text for an error code of this layer ("Connection refused"),
// also where the C runtime has none for the network codes.
std::string ErrorText(int error);

} // namespace kavra::os
