#include "support/TestSocket.h"

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kavra::test::net {

namespace {

int fdOf(Handle handle) {
    return static_cast<int>(handle);
}

int waitFor(Handle handle, short events, int timeoutMs) {
    for (;;) {
        pollfd entry{};
        entry.fd = fdOf(handle);
        entry.events = events;
        const int rc = ::poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
        if (rc >= 0 || errno != EINTR) {
            return rc > 0 ? 1 : rc;
        }
    }
}

} // namespace

Handle ListenLoopback(Family family, unsigned short port, int backlog, bool reuseAddress,
                      int& error) {
    const int domain = family == Family::Ipv6 ? AF_INET6 : AF_INET;
    const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return INVALID_HANDLE;
    }
    int on = 1;
    if (reuseAddress && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        error = errno;
        ::close(fd);
        return INVALID_HANDLE;
    }
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address = nullptr;
    socklen_t length = 0;
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
    if (::bind(fd, address, length) != 0 || ::listen(fd, backlog) != 0) {
        error = errno;
        ::close(fd);
        return INVALID_HANDLE;
    }
    return fd;
}

unsigned short LocalPort(Handle handle) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fdOf(handle), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

Handle Accept(Handle listener, bool nonBlocking) {
    const int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    for (;;) {
        const int fd = ::accept4(fdOf(listener), nullptr, nullptr, flags);
        if (fd >= 0 || errno != EINTR) {
            return fd < 0 ? INVALID_HANDLE : fd;
        }
    }
}

Handle ConnectLoopback(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return INVALID_HANDLE;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return INVALID_HANDLE;
    }
    return fd;
}

bool ConnectedPair(Handle pair[2]) {
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return false;
    }
    pair[0] = fds[0];
    pair[1] = fds[1];
    return true;
}

long Send(Handle handle, const void* src, std::size_t n, int& error) {
    const ssize_t sent = ::send(fdOf(handle), src, n, MSG_NOSIGNAL);
    if (sent < 0) {
        error = errno == EWOULDBLOCK ? EAGAIN : errno;
        return -1;
    }
    return static_cast<long>(sent);
}

long Recv(Handle handle, void* dst, std::size_t n, int& error) {
    const ssize_t got = ::recv(fdOf(handle), dst, n, 0);
    if (got < 0) {
        error = errno == EWOULDBLOCK ? EAGAIN : errno;
        return -1;
    }
    return static_cast<long>(got);
}

bool SendAll(Handle handle, const void* src, std::size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(src);
    std::size_t done = 0;
    while (done < n) {
        int error = 0;
        const long sent = Send(handle, bytes + done, n - done, error);
        if (sent < 0 && error == EINTR) {
            continue;
        }
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
        if (got < 0 && error == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

int WaitReadable(Handle handle, int timeoutMs) {
    return waitFor(handle, POLLIN, timeoutMs);
}

int WaitWritable(Handle handle, int timeoutMs) {
    return waitFor(handle, POLLOUT, timeoutMs);
}

void Shutdown(Handle handle) {
    ::shutdown(fdOf(handle), SHUT_RDWR);
}

bool ShutdownResetsLaterData() {
    return true;
}

void Close(Handle handle) {
    if (handle != INVALID_HANDLE) {
        ::close(fdOf(handle));
    }
}

void Reset(Handle handle) {
    const linger abortive{1, 0};
    ::setsockopt(fdOf(handle), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Close(handle);
}

} // namespace kavra::test::net
