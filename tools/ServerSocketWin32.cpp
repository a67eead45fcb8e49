#include "ServerSocket.h"

#include "Address.h"

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
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kavra::tool {

namespace {

// Winsock must be started before the first socket call; once for the life
// of the program, and left to the system to release at exit (calls into
// Winsock while the process exits have hung it under Wine).
void startWinsock() {
    static const int started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) {
        throw std::runtime_error("cannot start Winsock: error " + std::to_string(started));
    }
}

SOCKET sock(ServerSocket::Handle handle) {
    return static_cast<SOCKET>(handle);
}

ServerSocket::Handle handleOf(SOCKET socket) {
    return static_cast<ServerSocket::Handle>(socket);
}

// The errno-style code that the library reports for the same failure, so
// that ErrorText serves both.
int errnoOf(int wsaError) {
    switch (wsaError) {
    case WSAEADDRINUSE:
        return EADDRINUSE;
    case WSAEADDRNOTAVAIL:
        return EADDRNOTAVAIL;
    case WSAEACCES:
        return EACCES;
    case WSAEAFNOSUPPORT:
        return EAFNOSUPPORT;
    case WSAECONNREFUSED:
        return ECONNREFUSED;
    default:
        return wsaError;
    }
}

int lastError() {
    return errnoOf(::WSAGetLastError());
}

bool makeNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ::ioctlsocket(socket, static_cast<long>(FIONBIO), &on) == 0;
}

std::string describe(const sockaddr* address) {
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    const int length = address->sa_family == AF_INET6 ? static_cast<int>(sizeof(sockaddr_in6))
                                                      : static_cast<int>(sizeof(sockaddr_in));
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    return Address::Format(host, static_cast<unsigned short>(std::atoi(port)));
}

// fd_set is a counted array of sockets on Windows; filled directly, without
// the FD_SET macro's casts.
void add(fd_set& set, SOCKET socket) {
    set.fd_array[set.fd_count++] = socket;
}

bool contains(const fd_set& set, SOCKET socket) {
    for (u_int i = 0; i < set.fd_count; ++i) {
        if (set.fd_array[i] == socket) {
            return true;
        }
    }
    return false;
}

int clampLength(std::size_t n) {
    return n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

} // namespace

ServerSocket::ServerSocket(const std::string& host, unsigned short port) {
    startWinsock();
    const std::string where = Address::Format(host, port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string portText = std::to_string(port);
    const int resolved = getaddrinfo(host.c_str(), portText.c_str(), &hints, &found);
    if (resolved != 0) {
        throw std::runtime_error("cannot listen on " + where + ": cannot resolve host '" + host +
                                 "' (" + gai_strerrorA(resolved) + ")");
    }
    int lastErrorCode = EADDRNOTAVAIL;
    for (addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        const SOCKET handle =
            ::WSASocketW(candidate->ai_family, candidate->ai_socktype, candidate->ai_protocol,
                         nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (handle == INVALID_SOCKET) {
            lastErrorCode = lastError();
            continue;
        }
        // Windows lets a second listener take a bound port with SO_REUSEADDR;
        // exclusive use makes it fail as it does elsewhere.
        const BOOL on = TRUE;
        ::setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                     sizeof on);
        if (::bind(handle, candidate->ai_addr, static_cast<int>(candidate->ai_addrlen)) != 0 ||
            ::listen(handle, SOMAXCONN) != 0) {
            lastErrorCode = lastError();
            ::closesocket(handle);
            continue;
        }
        m_listen = handleOf(handle);
        break;
    }
    freeaddrinfo(found);
    if (m_listen == INVALID_HANDLE) {
        throw std::runtime_error("cannot listen on " + where + ": " + ErrorText(lastErrorCode));
    }
    makeNonBlocking(sock(m_listen));

    sockaddr_storage bound{};
    int length = sizeof bound;
    ::getsockname(sock(m_listen), reinterpret_cast<sockaddr*>(&bound), &length);
    m_port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    m_host = host;

    // Winsock waits on sockets only: the wake-up is a UDP socket on the
    // loopback interface connected to itself, read and written at one handle.
    const SOCKET wake = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int selfLength = sizeof self;
    if (wake == INVALID_SOCKET ||
        ::bind(wake, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(wake, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0 ||
        ::connect(wake, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        !makeNonBlocking(wake)) {
        const int error = lastError();
        if (wake != INVALID_SOCKET) {
            ::closesocket(wake);
        }
        ::closesocket(sock(m_listen));
        throw std::runtime_error("cannot create a wake-up socket: " + ErrorText(error));
    }
    m_wakeRead = handleOf(wake);
    m_wakeWrite = m_wakeRead;
}

ServerSocket::~ServerSocket() {
    ::closesocket(sock(m_listen));
    ::closesocket(sock(m_wakeRead));
}

ServerSocket::Handle ServerSocket::Accept(std::string& peer) {
    sockaddr_storage address{};
    int length = sizeof address;
    const SOCKET handle = ::accept(sock(m_listen), reinterpret_cast<sockaddr*>(&address), &length);
    if (handle == INVALID_SOCKET) {
        return INVALID_HANDLE;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
    makeNonBlocking(handle);
    const BOOL on = TRUE;
    ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    peer = describe(reinterpret_cast<sockaddr*>(&address));
    return handleOf(handle);
}

bool ServerSocket::Wait(std::vector<Item>& items, int timeoutMs) {
    for (Item& item : items) {
        item.readable = false;
        item.writable = false;
    }
    // select takes at most FD_SETSIZE sockets per set; beyond that, the
    // remaining connections wait for the next round.
    fd_set readable{};
    fd_set writable{};
    fd_set failed{};
    add(readable, sock(m_listen));
    add(readable, sock(m_wakeRead));
    for (const Item& item : items) {
        if (item.wantRead && readable.fd_count < FD_SETSIZE) {
            add(readable, sock(item.handle));
        }
        if (item.wantWrite && writable.fd_count < FD_SETSIZE) {
            add(writable, sock(item.handle));
        }
        if ((item.wantRead || item.wantWrite) && failed.fd_count < FD_SETSIZE) {
            add(failed, sock(item.handle));
        }
    }
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    const int ready = ::select(0, &readable, &writable, &failed, timeoutMs < 0 ? nullptr : &tv);
    if (ready <= 0) {
        return false;
    }
    if (contains(readable, sock(m_wakeRead))) {
        char drain[64];
        while (::recv(sock(m_wakeRead), drain, sizeof drain, 0) > 0) {
        }
    }
    for (Item& item : items) {
        // A reset or error shows up as readable, so the next Read reports it.
        item.readable =
            contains(readable, sock(item.handle)) || contains(failed, sock(item.handle));
        item.writable = contains(writable, sock(item.handle));
    }
    return contains(readable, sock(m_listen));
}

void ServerSocket::Wake() {
    // A datagram refused for the moment (Wine's sockets do that now and then)
    // costs only the early end: Peer's waits are short anyway.
    const char byte = 1;
    ::send(sock(m_wakeWrite), &byte, 1, 0);
}

long ServerSocket::Read(Handle handle, void* dst, std::size_t n) {
    const int got = ::recv(sock(handle), static_cast<char*>(dst), clampLength(n), 0);
    if (got > 0) {
        return got;
    }
    if (got == 0) {
        return -1;
    }
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long ServerSocket::Write(Handle handle, const void* src, std::size_t n) {
    const int put = ::send(sock(handle), static_cast<const char*>(src), clampLength(n), 0);
    if (put >= 0) {
        return put;
    }
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void ServerSocket::Close(Handle handle) {
    if (handle != INVALID_HANDLE) {
        ::closesocket(sock(handle));
    }
}

bool ServerSocket::HostResolves(const std::string& host) {
    startWinsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    freeaddrinfo(found);
    return true;
}

std::string ServerSocket::ErrorText(int error) {
    // The C runtime here has no texts for the network codes; these are the
    // ones the tool meets.
    switch (error) {
    case ECONNREFUSED:
        return "Connection refused";
    case ECONNRESET:
        return "Connection reset by peer";
    case ETIMEDOUT:
        return "Connection timed out";
    case EHOSTUNREACH:
        return "No route to host";
    case ENETUNREACH:
        return "Network is unreachable";
    case EADDRINUSE:
        return "Address already in use";
    case EADDRNOTAVAIL:
        return "Cannot assign requested address";
    default:
        return std::strerror(error);
    }
}

} // namespace kavra::tool
