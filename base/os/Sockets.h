// What the files of the platform layer that serve both systems share: the
// system's socket headers and the few calls whose spelling differs between
// POSIX and Winsock, so that the logic above them (address lookup,
// connecting; listening and accepting in Serving.cpp) is written once.
// Internal to the platform layer (base/os and serving/).
#pragma once

#include "base/os/SocketApi.h"

#include <memory>
#include <string>

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

// The outcome of a connect that a wait reported finished: 0, or its error.
int PendingConnectError(SocketHandle handle);

// Sets a boolean socket option; 0, or the error code.
int SetFlag(SocketHandle handle, int level, int option, bool on);

// The system's list of addresses for a TCP host and port, freed with it.
struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// getaddrinfo for TCP with the given extra flags: 0 with list set, or the
// errno-style code.
int LookupList(const std::string& host, unsigned short port, int flags, AddrInfoList& list);

// Frames are written whole; waiting to coalesce them only adds latency. Not
// every stream socket supports the option, and none needs it to work.
inline void SetNoDelay(SocketHandle handle) {
    SetFlag(handle, IPPROTO_TCP, TCP_NODELAY, true);
}

} // namespace kavra::os
