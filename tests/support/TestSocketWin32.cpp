#include "support/TestSocket.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <climits>

namespace kavra::test::net {

namespace {

// Winsock must be started before the first call of any test; once per test
// binary, and left to the system to release at exit, as the library does.
void start() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    static_cast<void>(started);
}

SOCKET sock(Handle handle) {
    return static_cast<SOCKET>(handle);
}

int lastError() {
    switch (const int error = ::WSAGetLastError()) {
    case WSAEWOULDBLOCK:
        return EAGAIN;
    case WSAEINTR:
        return EINTR;
    case WSAECONNRESET:
    case WSAECONNABORTED:
        return ECONNRESET;
    default:
        return error;
    }
}

int clampLength(std::size_t n) {
    return n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

bool setBlocking(SOCKET socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(socket, static_cast<long>(FIONBIO), &nonBlocking) == 0;
}

// fd_set is a counted array of sockets on Windows; filled directly, without
// the FD_SET macro's casts.
int waitFor(Handle handle, bool read, int timeoutMs) {
    fd_set wanted{};
    fd_set failed{};
    wanted.fd_count = 1;
    wanted.fd_array[0] = sock(handle);
    failed.fd_count = 1;
    failed.fd_array[0] = sock(handle);
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    timeval* limit = timeoutMs < 0 ? nullptr : &tv;
    const int rc = read ? ::select(0, &wanted, nullptr, &failed, limit)
                        : ::select(0, nullptr, &wanted, &failed, limit);
    if (rc == SOCKET_ERROR) {
        return -1;
    }
    return rc > 0 ? 1 : 0;
}

} // namespace

Handle ListenLoopback(Family family, unsigned short port, int backlog, bool reuseAddress,
                      int& error) {
    start();
    const int domain = family == Family::Ipv6 ? AF_INET6 : AF_INET;
    const SOCKET socket = ::socket(domain, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        error = lastError();
        return INVALID_HANDLE;
    }
    BOOL on = TRUE;
    if (reuseAddress && ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR,
                                     reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        error = lastError();
        ::closesocket(socket);
        return INVALID_HANDLE;
    }
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address = nullptr;
    int length = 0;
    if (family == Family::Ipv6) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        v6.sin6_addr = in6addr_loopback;
        address = reinterpret_cast<const sockaddr*>(&v6);
        length = sizeof v6;
    } else {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address = reinterpret_cast<const sockaddr*>(&v4);
        length = sizeof v4;
    }
    if (::bind(socket, address, length) != 0 || ::listen(socket, backlog) != 0) {
        error = lastError();
        ::closesocket(socket);
        return INVALID_HANDLE;
    }
    return static_cast<Handle>(socket);
}

unsigned short LocalPort(Handle handle) {
    sockaddr_storage address{};
    int length = sizeof address;
    if (::getsockname(sock(handle), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

Handle Accept(Handle listener, bool nonBlocking) {
    const SOCKET socket = ::accept(sock(listener), nullptr, nullptr);
    if (socket == INVALID_SOCKET) {
        return INVALID_HANDLE;
    }
    // An accepted socket inherits the listener's mode; set the one asked for.
    if (!setBlocking(socket, !nonBlocking)) {
        ::closesocket(socket);
        return INVALID_HANDLE;
    }
    return static_cast<Handle>(socket);
}

Handle ConnectLoopback(unsigned short port) {
    start();
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        return INVALID_HANDLE;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::closesocket(socket);
        return INVALID_HANDLE;
    }
    return static_cast<Handle>(socket);
}

bool ConnectedPair(Handle pair[2]) {
    // Windows has no socketpair: a loopback listener joins the two ends.
    int error = 0;
    const Handle listener = ListenLoopback(Family::Ipv4, 0, 1, false, error);
    if (listener == INVALID_HANDLE) {
        return false;
    }
    const Handle client = ConnectLoopback(LocalPort(listener));
    const Handle server = client == INVALID_HANDLE ? INVALID_HANDLE : Accept(listener, false);
    Close(listener);
    if (server == INVALID_HANDLE) {
        Close(client);
        return false;
    }
    pair[0] = client;
    pair[1] = server;
    return true;
}

long Send(Handle handle, const void* src, std::size_t n, int& error) {
    const int sent = ::send(sock(handle), static_cast<const char*>(src), clampLength(n), 0);
    if (sent == SOCKET_ERROR) {
        error = lastError();
        return -1;
    }
    return sent;
}

long Recv(Handle handle, void* dst, std::size_t n, int& error) {
    const int got = ::recv(sock(handle), static_cast<char*>(dst), clampLength(n), 0);
    if (got == SOCKET_ERROR) {
        error = lastError();
        return -1;
    }
    return got;
}

bool SendAll(Handle handle, const void* src, std::size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(src);
    std::size_t done = 0;
    while (done < n) {
        int error = 0;
        const long sent = Send(handle, bytes + done, n - done, error);
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

long RecvAll(Handle handle, void* dst, std::size_t n) {
    auto* bytes = static_cast<unsigned char*>(dst);
    std::size_t done = 0;
    while (done < n) {
        int error = 0;
        const long got = Recv(handle, bytes + done, n - done, error);
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

int WaitReadable(Handle handle, int timeoutMs) {
    return waitFor(handle, true, timeoutMs);
}

int WaitWritable(Handle handle, int timeoutMs) {
    return waitFor(handle, false, timeoutMs);
}

void Shutdown(Handle handle) {
    ::shutdown(sock(handle), SD_BOTH);
}

bool ShutdownResetsLaterData() {
    // Wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

void Close(Handle handle) {
    if (handle != INVALID_HANDLE) {
        ::closesocket(sock(handle));
    }
}

void Reset(Handle handle) {
    const linger abortive{1, 0};
    ::setsockopt(sock(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                 sizeof abortive);
    Close(handle);
}

} // namespace kavra::test::net
