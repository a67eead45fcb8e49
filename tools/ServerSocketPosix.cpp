#include "ServerSocket.h"

#include "Address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kavra::tool {

namespace {

int fdOf(ServerSocket::Handle handle) {
    return static_cast<int>(handle);
}

void makeNonBlocking(int handle) {
    const int flags = fcntl(handle, F_GETFL, 0);
    fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    fcntl(handle, F_SETFD, FD_CLOEXEC);
}

std::string describe(const sockaddr* address) {
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    const socklen_t length =
        address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    return Address::Format(host, static_cast<unsigned short>(std::atoi(port)));
}

} // namespace

ServerSocket::ServerSocket(const std::string& host, unsigned short port) {
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
                                 "' (" + gai_strerror(resolved) + ")");
    }
    int lastError = EADDRNOTAVAIL;
    for (addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        const int handle = socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC,
                                  candidate->ai_protocol);
        if (handle < 0) {
            lastError = errno;
            continue;
        }
        const int on = 1;
        setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(handle, candidate->ai_addr, candidate->ai_addrlen) != 0 ||
            listen(handle, SOMAXCONN) != 0) {
            lastError = errno;
            close(handle);
            continue;
        }
        m_listen = handle;
        break;
    }
    freeaddrinfo(found);
    if (m_listen == INVALID_HANDLE) {
        throw std::runtime_error("cannot listen on " + where + ": " + ErrorText(lastError));
    }
    makeNonBlocking(fdOf(m_listen));

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fdOf(m_listen), reinterpret_cast<sockaddr*>(&bound), &length);
    m_port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    m_host = host;

    int pipeEnds[2] = {-1, -1};
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        close(fdOf(m_listen));
        throw std::runtime_error("cannot create a wake-up pipe: " + ErrorText(error));
    }
    m_wakeRead = pipeEnds[0];
    m_wakeWrite = pipeEnds[1];
}

ServerSocket::~ServerSocket() {
    close(fdOf(m_listen));
    close(fdOf(m_wakeRead));
    close(fdOf(m_wakeWrite));
}

ServerSocket::Handle ServerSocket::Accept(std::string& peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int handle = -1;
    do {
        handle = accept4(fdOf(m_listen), reinterpret_cast<sockaddr*>(&address), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) {
        return INVALID_HANDLE;
    }
    const int on = 1;
    setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    peer = describe(reinterpret_cast<sockaddr*>(&address));
    return handle;
}

bool ServerSocket::Wait(std::vector<Item>& items, int timeoutMs) {
    std::vector<pollfd> fds;
    fds.reserve(items.size() + 2);
    fds.push_back({fdOf(m_listen), POLLIN, 0});
    fds.push_back({fdOf(m_wakeRead), POLLIN, 0});
    for (const Item& item : items) {
        short events = 0;
        if (item.wantRead) {
            events = static_cast<short>(events | POLLIN);
        }
        if (item.wantWrite) {
            events = static_cast<short>(events | POLLOUT);
        }
        fds.push_back({fdOf(item.handle), events, 0});
    }
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    for (Item& item : items) {
        item.readable = false;
        item.writable = false;
    }
    if (ready <= 0) {
        return false;
    }
    if ((fds[1].revents & POLLIN) != 0) {
        char drain[64];
        while (read(fdOf(m_wakeRead), drain, sizeof drain) > 0) {
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const short revents = fds[i + 2].revents;
        // A hang-up or error shows up as readable, so the next Read reports it.
        items[i].readable = (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        items[i].writable = (revents & POLLOUT) != 0;
    }
    return (fds[0].revents & POLLIN) != 0;
}

void ServerSocket::Wake() {
    const char byte = 1;
    static_cast<void>(write(fdOf(m_wakeWrite), &byte, 1));
}

long ServerSocket::Read(Handle handle, void* dst, std::size_t n) {
    for (;;) {
        const ssize_t got = recv(fdOf(handle), dst, n, 0);
        if (got > 0) {
            return got;
        }
        if (got == 0) {
            return -1;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

long ServerSocket::Write(Handle handle, const void* src, std::size_t n) {
    for (;;) {
        const ssize_t put = send(fdOf(handle), src, n, MSG_NOSIGNAL);
        if (put >= 0) {
            return put;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void ServerSocket::Close(Handle handle) {
    if (handle != INVALID_HANDLE) {
        close(fdOf(handle));
    }
}

bool ServerSocket::HostResolves(const std::string& host) {
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
    return std::strerror(error);
}

} // namespace kavra::tool
