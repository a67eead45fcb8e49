// What the Win32 socket files share: Winsock 2's headers, its start-up, and
// the translation of its error codes into the errno-style codes that the
// callers of SocketApi compare with.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>

#include "base/os/SocketApi.h"

namespace kavra::os {

// Starts Winsock for this process on the first call; later calls cost one
// check. Throws std::system_error when the system refuses.
void StartWinsock();

// An errno-style code for a Winsock error (EAGAIN for WSAEWOULDBLOCK); codes
// without a counterpart come back unchanged.
int FromWinsockError(int wsaError);

// The last Winsock error of the calling thread, translated.
int LastSocketError();

// Makes socket non-blocking and keeps it from being inherited by processes
// that the application starts (the counterpart of close-on-exec). 0, or the
// translated error.
int MakeNonBlocking(SOCKET socket);

inline SOCKET ToSocket(SocketHandle handle) {
    return static_cast<SOCKET>(handle);
}

inline SocketHandle FromSocket(SOCKET socket) {
    return static_cast<SocketHandle>(socket);
}

inline timeval ToTimeval(int timeoutMs) {
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    return tv;
}

// fd_set is a counted array of sockets on Windows; filling it directly
// avoids the FD_SET macro's casts.
inline void SetOnly(fd_set& set, SOCKET socket) {
    set.fd_count = 1;
    set.fd_array[0] = socket;
}

inline bool Holds(const fd_set& set, SOCKET socket) {
    for (u_int i = 0; i < set.fd_count; ++i) {
        if (set.fd_array[i] == socket) {
            return true;
        }
    }
    return false;
}

} // namespace kavra::os
