// What the files of the platform layer that serve both systems share: the
// system's socket headers and the few calls whose spelling differs between
// POSIX and Winsock, so that the logic above them (address lookup,
// listening, connecting, accepting) is written once. Internal to base/os.
#pragma once

#include "base/os/SocketApi.h"

#ifdef _WIN32
#include "base/os/Winsock.h"
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif


namespace kavra::os {

#ifdef _WIN32
using NativeSocket = SOCKET;
using SocketLength = int;
#else
using NativeSocket = int;
using SocketLength = socklen_t;
#endif

inline NativeSocket Native(SocketHandle handle) {
    return static_cast<NativeSocket>(handle);
}

// Makes the system's sockets usable: starts Winsock once per process on
// Windows, nothing on POSIX. Throws std::system_error when refused.
void StartSockets();

// The calling thread's last socket error, errno-style.
int LastSocketError();

// An errno-style code for a failed getaddrinfo: ENOMEM, or EHOSTUNREACH.
int LookupErrorCode(int gaiResult);

// A new blocking socket that child processes do not inherit, or
// INVALID_SOCKET_HANDLE with error set.
SocketHandle OpenSocket(int family, int socktype, int protocol, int& error);

// Takes one pending connection with the given blocking mode and no
// inheritance; address receives the peer. INVALID_SOCKET_HANDLE when none.
SocketHandle AcceptNative(SocketHandle listener, bool nonBlocking, sockaddr_storage& address);

// The outcome of a connect that a wait reported finished: 0, or its error.
int PendingConnectError(SocketHandle handle);

// Sets a boolean socket option; 0, or the error code.
int SetFlag(SocketHandle handle, int level, int option, bool on);

// Gives a socket about to be bound the port sharing that reuse asks for;
// 0, or the error code.
int SetPortReuse(SocketHandle handle, PortReuse reuse);

// Frames are written whole; waiting to coalesce them only adds latency. Not
// every stream socket supports the option, and none needs it to work.
inline void SetNoDelay(SocketHandle handle) {
    SetFlag(handle, IPPROTO_TCP, TCP_NODELAY, true);
}

} // namespace kavra::os
