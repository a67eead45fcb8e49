// Address lookup, listening and accepting, written once for both systems on
// top of the few calls that Sockets.h names.
#include "base/os/Sockets.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kavra::os {

namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// getaddrinfo for TCP: 0 with list set, or the errno-style code.
int lookup(const std::string& host, unsigned short port, int flags, AddrInfoList& list) {
    StartSockets();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | flags;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    errno = 0;
    const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (gai != 0) {
        return LookupErrorCode(gai);
    }
    list.reset(found);
    return 0;
}

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

int LookupAddresses(const std::string& host, unsigned short port, bool numericOnly,
                    std::vector<Address>& out) {
    AddrInfoList list;
    const int error = lookup(host, port, numericOnly ? AI_NUMERICHOST : 0, list);
    if (error != 0) {
        return error;
    }
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

SocketHandle ListenTcp(const std::string& host, unsigned short port, int backlog, PortReuse reuse,
                       int& error) {
    AddrInfoList list;
    error = lookup(host, port, AI_PASSIVE, list);
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

unsigned short LocalPort(SocketHandle handle) {
    sockaddr_storage address{};
    SocketLength len = sizeof address;
    if (::getsockname(Native(handle), reinterpret_cast<sockaddr*>(&address), &len) != 0) {
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

int SetFlag(SocketHandle handle, int level, int option, bool on) {
    const int value = on ? 1 : 0;
    if (::setsockopt(Native(handle), level, option, reinterpret_cast<const char*>(&value),
                     sizeof value) != 0) {
        return LastSocketError();
    }
    return 0;
}

std::string FormatHostPort(const std::string& host, unsigned short port) {
    if (host.find(':') != std::string::npos) {
        return "[" + host + "]:" + std::to_string(port);
    }
    return host + ":" + std::to_string(port);
}

} // namespace kavra::os
