// Listening and accepting, written once for both systems on top of the few
// calls that Sockets.h and ServingSockets.h name.
#include "serving/ServingSockets.h"

#include <cerrno>
#include <cstdlib>

namespace kavra::os {

namespace {

std::string describe(const sockaddr_storage& address) {
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    const auto length = static_cast<SocketLength>(
        address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, port,
                      sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    return FormatHostPort(host, static_cast<unsigned short>(std::atoi(port)));
}

// A listener on one resolved address, or INVALID_SOCKET_HANDLE with error.
SocketHandle listenOn(const addrinfo& candidate, int backlog, PortReuse reuse, int& error) {
    const SocketHandle handle =
        OpenSocket(candidate.ai_family, candidate.ai_socktype, candidate.ai_protocol, error);
    if (handle == INVALID_SOCKET_HANDLE) {
        return handle;
    }
    error = SetPortReuse(handle, reuse);
    if (error == 0 && (::bind(Native(handle), candidate.ai_addr,
                              static_cast<SocketLength>(candidate.ai_addrlen)) != 0 ||
                       ::listen(Native(handle), backlog < 0 ? SOMAXCONN : backlog) != 0)) {
        error = LastSocketError();
    }
    if (error != 0) {
        CloseSocket(handle);
        return INVALID_SOCKET_HANDLE;
    }
    return handle;
}

} // namespace

SocketHandle ListenTcp(const std::string& host, unsigned short port, int backlog, PortReuse reuse,
                       int& error) {
    AddrInfoList list;
    error = LookupList(host, port, AI_PASSIVE, list);
    if (error != 0) {
        return INVALID_SOCKET_HANDLE;
    }
    error = EADDRNOTAVAIL;
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        const SocketHandle handle = listenOn(*ai, backlog, reuse, error);
        if (handle != INVALID_SOCKET_HANDLE) {
            return handle;
        }
    }
    return INVALID_SOCKET_HANDLE;
}

SocketHandle Accept(SocketHandle listener, bool nonBlocking, bool noDelay, std::string* peer) {
    sockaddr_storage address{};
    const SocketHandle handle = AcceptNative(listener, nonBlocking, address);
    if (handle == INVALID_SOCKET_HANDLE) {
        return handle;
    }
    if (noDelay) {
        SetNoDelay(handle);
    }
    if (peer != nullptr) {
        *peer = describe(address);
    }
    return handle;
}

std::string FormatHostPort(const std::string& host, unsigned short port) {
    if (host.find(':') != std::string::npos) {
        return "[" + host + "]:" + std::to_string(port);
    }
    return host + ":" + std::to_string(port);
}

} // namespace kavra::os
