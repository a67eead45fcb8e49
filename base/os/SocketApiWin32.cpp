#include "base/os/SocketApi.h"

#include "base/os/Winsock.h"

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

using Clock = std::chrono::steady_clock;

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

int msUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

timeval toTimeval(int timeoutMs) {
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    return tv;
}

// fd_set is a counted array of sockets on Windows; filling it directly
// avoids the FD_SET macro's casts.
void setOnly(fd_set& set, SOCKET socket) {
    set.fd_count = 1;
    set.fd_array[0] = socket;
}

bool contains(const fd_set& set, SOCKET socket) {
    for (u_int i = 0; i < set.fd_count; ++i) {
        if (set.fd_array[i] == socket) {
            return true;
        }
    }
    return false;
}

void setNoDelay(SOCKET socket) {
    // Frames are written whole; waiting to coalesce them only adds latency.
    BOOL on = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

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

int LookupAddresses(const std::string& host, unsigned short port, bool numericOnly,
                    std::vector<Address>& out) {
    StartWinsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (gai != 0) {
        return gai == WSA_NOT_ENOUGH_MEMORY || gai == EAI_MEMORY ? ENOMEM : EHOSTUNREACH;
    }
    const std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
    out.clear();
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        Address address;
        if (ai->ai_addrlen > address.bytes.size()) {
            continue;
        }
        address.family = ai->ai_family;
        address.socktype = ai->ai_socktype;
        address.protocol = ai->ai_protocol;
        address.length = ai->ai_addrlen;
        std::memcpy(address.bytes.data(), ai->ai_addr, ai->ai_addrlen);
        out.push_back(address);
    }
    return out.empty() ? EHOSTUNREACH : 0;
}

namespace {

// Waits for a connect in progress by the deadline, in slices so that a stop
// request is seen soon. A failed attempt shows in the exception set, a
// finished one in the write set. 1 when connected, otherwise 0 with error.
int waitConnected(SOCKET socket, Clock::time_point deadline, const std::atomic<bool>* cancel,
                  int& error) {
    fd_set writable{};
    fd_set failed{};
    for (;;) {
        if (cancel != nullptr && cancel->load()) {
            error = ECANCELED;
            return 0;
        }
        const int left = msUntil(deadline);
        if (left == 0) {
            error = ETIMEDOUT;
            return 0;
        }
        setOnly(writable, socket);
        setOnly(failed, socket);
        timeval tv = toTimeval(cancel != nullptr && left > CONNECT_CANCEL_POLL_MS
                                   ? CONNECT_CANCEL_POLL_MS
                                   : left);
        const int ready = ::select(0, nullptr, &writable, &failed, &tv);
        if (ready == SOCKET_ERROR) {
            error = LastSocketError();
            return 0;
        }
        if (ready == 0) {
            continue;
        }
        int soError = 0;
        int len = sizeof soError;
        if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) !=
            0) {
            soError = ::WSAGetLastError();
        }
        if (soError == 0 && contains(failed, socket)) {
            soError = WSAECONNREFUSED;
        }
        error = FromWinsockError(soError);
        return soError == 0 ? 1 : 0;
    }
}

} // namespace

SocketHandle ConnectAddress(const Address& address, std::chrono::steady_clock::time_point deadline,
                            const std::atomic<bool>* cancel, int& error) {
    const SOCKET socket = ::WSASocketW(address.family, address.socktype, address.protocol, nullptr,
                                       0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        error = LastSocketError();
        return INVALID_SOCKET_HANDLE;
    }
    error = MakeNonBlocking(socket);
    sockaddr_storage target{};
    std::memcpy(&target, address.bytes.data(), address.length);
    if (error == 0 && ::connect(socket, reinterpret_cast<const sockaddr*>(&target),
                                static_cast<int>(address.length)) != 0) {
        const int connectError = ::WSAGetLastError();
        if (connectError != WSAEWOULDBLOCK) {
            error = FromWinsockError(connectError);
        } else {
            waitConnected(socket, deadline, cancel, error);
        }
    }
    if (error != 0) {
        ::closesocket(socket);
        return INVALID_SOCKET_HANDLE;
    }
    setNoDelay(socket);
    return FromSocket(socket);
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
    const SOCKET socket = ToSocket(handle);
    const int error = MakeNonBlocking(socket);
    if (error != 0) {
        return error;
    }
    setNoDelay(socket);
    return 0;
}

void CloseSocket(SocketHandle handle) {
    ::closesocket(ToSocket(handle));
}

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
    setOnly(wanted, socket);
    setOnly(failed, socket);
    timeval tv = toTimeval(timeoutMs < 0 ? 0 : timeoutMs);
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

LoopReady WaitLoop(SocketHandle socket, SocketHandle wakeHandle, int timeoutMs) {
    const SOCKET wake = ToSocket(wakeHandle);
    const SOCKET watched = ToSocket(socket);
    const bool watch = socket != INVALID_SOCKET_HANDLE;
    fd_set readable{};
    fd_set failed{};
    setOnly(readable, wake);
    if (watch) {
        readable.fd_array[readable.fd_count++] = watched;
        setOnly(failed, watched);
    }
    // The wait is cut into slices: should a wake-up datagram ever go missing
    // (Wine's loopback UDP has refused sends now and then; WakeUp retries
    // those), the loop looks at its queue again within a slice instead of
    // sleeping through the posted work. The caller treats an early return
    // like an interrupted wait.
    const int sliceMs = timeoutMs < 0 || timeoutMs > WAIT_SLICE_MS ? WAIT_SLICE_MS : timeoutMs;
    timeval tv = toTimeval(sliceMs);
    LoopReady ready;
    if (::select(0, &readable, nullptr, watch ? &failed : nullptr, &tv) <= 0) {
        return ready;
    }
    ready.wake = contains(readable, wake);
    ready.socket = watch && (contains(readable, watched) || contains(failed, watched));
    return ready;
}

unsigned short LocalPort(SocketHandle handle) {
    sockaddr_storage address{};
    int len = sizeof address;
    if (::getsockname(ToSocket(handle), reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return 0;
}

} // namespace kavra::os
