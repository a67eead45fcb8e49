// The platform layer: every socket call of the library, the tool, the tests
// and the benchmarks is made behind this header and ServingApi.h, and nowhere
// else. This header is the library's part.
//
// Every socket here is a non-blocking, close-on-exec TCP stream. Calls that
// the system may interrupt (EINTR) are retried, or, for waits, resumed with
// the time that remains. Errors come back as errno-style codes (<cerrno>):
// the system's own on POSIX; on Windows the Winsock codes that have an errno
// counterpart are mapped onto it (WSAEWOULDBLOCK is EAGAIN), the others pass
// through as they are.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kavra::os {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;

// Milliseconds left until deadline, rounded up so that a wait never ends just
// before it, and 0 once it has passed.
inline int MsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// One address a name resolved to, copied out of the system's list.
struct Address {
    int family = 0;
    int socktype = 0;
    int protocol = 0;
    std::size_t length = 0;
    std::array<unsigned char, 128> bytes{};
};

// The system's own lookup of a TCP endpoint; with numericOnly it takes only
// numeric addresses and never waits. 0, or EHOSTUNREACH when there is no
// such host (or, numericOnly, host is a name), ENOMEM.
int LookupAddresses(const std::string& host, unsigned short port, bool numericOnly,
                    std::vector<Address>& out);
// The same, bounded in time: a numeric host at once, a name on a thread of
// its own, waited for at most timeoutMs (ETIMEDOUT) or until cancel becomes
// true (ECANCELED). A lookup that answers in time has ended, thread and all,
// when this returns; one given up on finishes unwatched.
int ResolveBounded(const std::string& host, unsigned short port, unsigned int timeoutMs,
                   const std::atomic<bool>* cancel, std::vector<Address>& out);
// A name lookup under way on a thread of its own (StartLookup).
struct PendingLookup;
// Looks host up without waiting: 0 with out set for a numeric host;
// EINPROGRESS with pending set while the system looks a name up (PollLookup
// tells when it answered); EAGAIN when no thread could be made.
int StartLookup(const std::string& host, unsigned short port, std::vector<Address>& out,
                std::shared_ptr<PendingLookup>& pending);
// True once the lookup answered, with its error (0: out set).
bool PollLookup(PendingLookup& pending, int& error, std::vector<Address>& out);
// Lookup threads of ResolveBounded and StartLookup that have not yet ended.
int LookupThreadsAlive();

// Starts a connect to address on a new non-blocking socket without
// waiting: the socket with error 0 (connected, TCP_NODELAY set) or
// EINPROGRESS (ConnectProgress tells the outcome), or INVALID_SOCKET_HANDLE
// with error set.
SocketHandle StartConnect(const Address& address, int& error);
// Where a connect StartConnect left in progress stands, without waiting: 0
// once connected (TCP_NODELAY set), EINPROGRESS while it goes on, or its
// error. The caller closes a socket whose connect failed.
int ConnectProgress(SocketHandle handle);

// One connect attempt to one address, by the deadline; a stop request
// (cancel) ends it within CONNECT_CANCEL_POLL_MS. The connected socket with
// TCP_NODELAY set, or INVALID_SOCKET_HANDLE with error set (ETIMEDOUT,
// ECANCELED, or the connect error).
SocketHandle ConnectAddress(const Address& address, std::chrono::steady_clock::time_point deadline,
                            const std::atomic<bool>* cancel, int& error);

// Resolves host (a name or a numeric IPv4/IPv6 address, any family) and tries
// each address in turn until one connects; the lookup and all tries together
// take at most about timeoutMs, and each address gets an equal share of what
// is left when its turn comes, so one that never answers cannot eat the
// whole attempt. Returns the connected socket with TCP_NODELAY set, or
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

// TCP keepalive: probes after idleS seconds without traffic, every
// intervalS, and count unanswered probes fail the connection; idleS 0 turns
// it off. Where the system sets no probe count (Windows) its own applies.
// 0, or the error code.
int SetKeepAlive(SocketHandle handle, unsigned int idleS, unsigned int intervalS,
                 unsigned int count);
// Fails the connection when written data stays unacknowledged for ms (0:
// the system's own bound). 0, or the error code; 0 where the system has no
// such bound.
int SetUnacknowledgedLimit(SocketHandle handle, unsigned int ms);

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
// WaitReady by a deadline, in slices of CONNECT_CANCEL_POLL_MS while a stop
// request (cancel, when given) may end it: 0 once ready, otherwise
// ETIMEDOUT, ECANCELED or the wait's own error.
int WaitReadyBy(SocketHandle handle, Direction direction,
                std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* cancel);

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
// can move data in direction (Read: also hung up or failed; Write: also a
// connect that ended, well or not), or wakeHandle (a WakeUp's Handle) is
// readable, or timeoutMs passes (negative: no limit). An interrupted wait
// reports nothing ready; the caller's loop simply waits again.
LoopReady WaitLoop(SocketHandle socket, Direction direction, SocketHandle wakeHandle,
                   int timeoutMs);

// The local port of a bound socket, or 0.
unsigned short LocalPort(SocketHandle handle);

// Switches a socket between blocking and non-blocking transfers. 0, or the
// error code.
int SetBlocking(SocketHandle handle, bool blocking);

} // namespace kavra::os
