// The Win32 half of the platform layer: Winsock's spelling of the calls,
// its one start-up and its one translation of error codes.
#include "base/os/Sockets.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <system_error>

// Older mingw-w64 headers lack the option; its value is fixed by Winsock.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif

namespace kavra::os {

namespace {

// Longest single wait of the socket thread's loop.
constexpr int WAIT_SLICE_MS = 250;

// Starts Winsock once for the life of the process. There is deliberately no
// WSACleanup: this library is a DLL, whose static destructors run inside
// DllMain at process exit, where Winsock must not be called (it hung the
// exit under Wine); the system releases Winsock with the process.
int startWinsockOnce() {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
}

int clampLength(std::size_t n) {
    return n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

} // namespace

void StartWinsock() {
    static const int started = startWinsockOnce();
    if (started != 0) {
        throw std::system_error(started, std::system_category(), "WSAStartup");
    }
}

int FromWinsockError(int wsaError) {
    switch (wsaError) {
    case 0:
        return 0;
    case WSAEWOULDBLOCK:
        return EAGAIN;
    case WSAEINPROGRESS:
    case WSAEALREADY:
        return EINPROGRESS;
    case WSAEINTR:
        return EINTR;
    case WSAECONNREFUSED:
        return ECONNREFUSED;
    case WSAECONNRESET:
        return ECONNRESET;
    case WSAECONNABORTED:
        return ECONNABORTED;
    case WSAENETRESET:
        return ENETRESET;
    case WSAETIMEDOUT:
        return ETIMEDOUT;
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
    case WSATRY_AGAIN:
    case WSANO_RECOVERY:
        return EHOSTUNREACH;
    case WSAENETUNREACH:
        return ENETUNREACH;
    case WSAENETDOWN:
        return ENETDOWN;
    case WSAENOTCONN:
        return ENOTCONN;
    case WSAESHUTDOWN:
        return EPIPE;
    case WSAENOTSOCK:
        return EBADF;
    case WSAEADDRINUSE:
        return EADDRINUSE;
    case WSAEADDRNOTAVAIL:
        return EADDRNOTAVAIL;
    case WSAEAFNOSUPPORT:
        return EAFNOSUPPORT;
    case WSAEACCES:
        return EACCES;
    case WSAEINVAL:
        return EINVAL;
    case WSAEMFILE:
        return EMFILE;
    case WSAENOBUFS:
        return ENOBUFS;
    case WSAEMSGSIZE:
        return EMSGSIZE;
    case WSA_NOT_ENOUGH_MEMORY:
        return ENOMEM;
    default:
        return wsaError;
    }
}

int LastSocketError() {
    return FromWinsockError(::WSAGetLastError());
}

int MakeNonBlocking(SOCKET socket) {
    u_long on = 1;
    // FIONBIO does not fit the signed command parameter without a cast.
    if (::ioctlsocket(socket, static_cast<long>(FIONBIO), &on) != 0) {
        return LastSocketError();
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    return 0;
}

void StartSockets() {
    StartWinsock();
}

int LookupErrorCode(int gaiResult) {
    return gaiResult == WSA_NOT_ENOUGH_MEMORY || gaiResult == EAI_MEMORY ? ENOMEM : EHOSTUNREACH;
}

SocketHandle OpenSocket(int family, int socktype, int protocol, int& error) {
    StartWinsock();
    const SOCKET socket = ::WSASocketW(family, socktype, protocol, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        error = LastSocketError();
        return INVALID_SOCKET_HANDLE;
    }
    return FromSocket(socket);
}

int PendingConnectError(SocketHandle handle) {
    const SOCKET socket = ToSocket(handle);
    int soError = 0;
    int len = sizeof soError;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0) {
        soError = ::WSAGetLastError();
    }
    if (soError == 0) {
        // A failed attempt shows in the exception set, at times without an
        // error code under Wine.
        fd_set failed{};
        SetOnly(failed, socket);
        timeval none{};
        if (::select(0, nullptr, nullptr, &failed, &none) > 0 && Holds(failed, socket)) {
            soError = WSAECONNREFUSED;
        }
    }
    return FromWinsockError(soError);
}

int SetBlocking(SocketHandle handle, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    // FIONBIO does not fit the signed command parameter without a cast.
    if (::ioctlsocket(ToSocket(handle), static_cast<long>(FIONBIO), &nonBlocking) != 0) {
        return LastSocketError();
    }
    return 0;
}

int SetKeepAlive(SocketHandle handle, unsigned int idleS, unsigned int intervalS,
                 unsigned int /*count*/) {
    // Windows takes no probe count here: its own (10) applies.
    tcp_keepalive settings{};
    settings.onoff = idleS != 0 ? 1 : 0;
    settings.keepalivetime = idleS * 1000;
    settings.keepaliveinterval = intervalS * 1000;
    DWORD returned = 0;
    if (::WSAIoctl(ToSocket(handle), SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0,
                   &returned, nullptr, nullptr) != 0) {
        return LastSocketError();
    }
    return 0;
}

int SetUnacknowledgedLimit(SocketHandle handle, unsigned int ms) {
    // TCP_MAXRT counts whole seconds; 0 would mean "the system's own" there
    // as well, so a short limit rounds up to one second.
    const DWORD seconds = ms == 0 ? 0 : (ms + 999) / 1000;
    if (::setsockopt(ToSocket(handle), IPPROTO_TCP, TCP_MAXRT,
                     reinterpret_cast<const char*>(&seconds), sizeof seconds) != 0) {
        return LastSocketError();
    }
    return 0;
}

int PrepareConnected(SocketHandle handle) {
    StartWinsock();
    const int error = MakeNonBlocking(ToSocket(handle));
    if (error != 0) {
        return error;
    }
    SetNoDelay(handle);
    return 0;
}

void CloseSocket(SocketHandle handle) {
    ::closesocket(ToSocket(handle));
}

// The library's sockets are non-blocking from the start (ConnectAddress,
// PrepareConnected), so a transfer in the socket's own mode is the one meant.
long SendSome(SocketHandle handle, const void* src, std::size_t n, int& error) {
    // Winsock raises no SIGPIPE, so there is nothing to suppress.
    const int sent = ::send(ToSocket(handle), static_cast<const char*>(src), clampLength(n), 0);
    if (sent == SOCKET_ERROR) {
        error = LastSocketError();
        return -1;
    }
    return sent;
}

long RecvSome(SocketHandle handle, void* dst, std::size_t n, int& error) {
    const int got = ::recv(ToSocket(handle), static_cast<char*>(dst), clampLength(n), 0);
    if (got == SOCKET_ERROR) {
        error = LastSocketError();
        return -1;
    }
    return got;
}

int WaitReady(SocketHandle handle, Direction direction, int timeoutMs, int& error) {
    const SOCKET socket = ToSocket(handle);
    fd_set wanted{};
    fd_set failed{};
    SetOnly(wanted, socket);
    SetOnly(failed, socket);
    timeval tv = ToTimeval(timeoutMs < 0 ? 0 : timeoutMs);
    const int rc = direction == Direction::Read ? ::select(0, &wanted, nullptr, &failed, &tv)
                                                : ::select(0, nullptr, &wanted, &failed, &tv);
    if (rc == SOCKET_ERROR) {
        error = LastSocketError();
        return -1;
    }
    return rc > 0 ? 1 : 0;
}

int ReadableBytes(SocketHandle handle) {
    u_long count = 0;
    if (::ioctlsocket(ToSocket(handle), FIONREAD, &count) != 0) {
        return -1;
    }
    return count > static_cast<u_long>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

PeekResult PeekForClose(SocketHandle handle, int& error) {
    char byte = 0;
    const int got = ::recv(ToSocket(handle), &byte, 1, MSG_PEEK);
    if (got > 0) {
        return PeekResult::Data;
    }
    if (got == 0) {
        return PeekResult::Closed;
    }
    const int wsaError = ::WSAGetLastError();
    if (wsaError == WSAEWOULDBLOCK) {
        return PeekResult::Empty;
    }
    error = FromWinsockError(wsaError);
    return PeekResult::Failed;
}

LoopReady WaitLoop(SocketHandle socket, Direction direction, SocketHandle wakeHandle,
                   int timeoutMs) {
    const SOCKET wake = ToSocket(wakeHandle);
    const SOCKET watched = ToSocket(socket);
    const bool watch = socket != INVALID_SOCKET_HANDLE;
    const bool reading = direction == Direction::Read;
    fd_set readable{};
    fd_set writable{};
    fd_set failed{};
    SetOnly(readable, wake);
    if (watch) {
        if (reading) {
            readable.fd_array[readable.fd_count++] = watched;
        } else {
            SetOnly(writable, watched);
        }
        // A connect that fails shows here, not as writable.
        SetOnly(failed, watched);
    }
    // The wait is cut into slices: should a wake-up datagram ever go missing
    // (Wine's loopback UDP has refused sends now and then; WakeUp retries
    // those), the loop looks at its queue again within a slice instead of
    // sleeping through the posted work. The caller treats an early return
    // like an interrupted wait.
    const int sliceMs = timeoutMs < 0 || timeoutMs > WAIT_SLICE_MS ? WAIT_SLICE_MS : timeoutMs;
    timeval tv = ToTimeval(sliceMs);
    LoopReady ready;
    if (::select(0, &readable, watch && !reading ? &writable : nullptr, watch ? &failed : nullptr,
                 &tv) <= 0) {
        return ready;
    }
    ready.wake = Holds(readable, wake);
    ready.socket = watch && (Holds(reading ? readable : writable, watched) || Holds(failed, watched));
    return ready;
}

} // namespace kavra::os
