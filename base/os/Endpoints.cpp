// Address lookup and the options every socket takes, written once for both
// systems on top of the few calls that Sockets.h names.
#include "base/os/Sockets.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace kavra::os {

int LookupList(const std::string& host, unsigned short port, int flags, AddrInfoList& list) {
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

int LookupAddresses(const std::string& host, unsigned short port, bool numericOnly,
                    std::vector<Address>& out) {
    AddrInfoList list;
    const int error = LookupList(host, port, numericOnly ? AI_NUMERICHOST : 0, list);
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

} // namespace kavra::os
