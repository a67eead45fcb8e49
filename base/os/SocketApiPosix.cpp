#include "base/os/SocketApi.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kavra::os {

namespace {

using Clock = std::chrono::steady_clock;

int toFd(SocketHandle handle) {
    return static_cast<int>(handle);
}

// Milliseconds left until deadline, rounded up so that a wait never ends just
// before it, and 0 once it has passed.
int msUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void setNoDelay(int fd) {
    // Frames are written whole; waiting to coalesce them only adds latency.
    // Not every stream socket supports the option, and none needs it to work.
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

int resolveError(int gaiError) {
    if (gaiError == EAI_SYSTEM && errno != 0) {
        return errno;
    }
    if (gaiError == EAI_MEMORY) {
        return ENOMEM;
    }
    return EHOSTUNREACH;
}

} // namespace

namespace {

// Waits for a connect in progress in slices, so that a stop request is seen
// soon. 1 when the socket is writable, -1 with error set, 0 with error
// ETIMEDOUT or ECANCELED.
int waitConnected(int fd, Clock::time_point deadline, const std::atomic<bool>* cancel,
                  int& error) {
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
        const int slice =
            cancel != nullptr && left > CONNECT_CANCEL_POLL_MS ? CONNECT_CANCEL_POLL_MS : left;
        const int ready = WaitReady(fd, Direction::Write, slice, error);
        if (ready != 0) {
            return ready;
        }
    }
}

} // namespace

int LookupAddresses(const std::string& host, unsigned short port, bool numericOnly,
                    std::vector<Address>& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    errno = 0;
    const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (gai != 0) {
        return resolveError(gai);
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

SocketHandle ConnectAddress(const Address& address, std::chrono::steady_clock::time_point deadline,
                            const std::atomic<bool>* cancel, int& error) {
    const int fd =
        ::socket(address.family, address.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.protocol);
    if (fd < 0) {
        error = errno;
        return INVALID_SOCKET_HANDLE;
    }
    sockaddr_storage target{};
    std::memcpy(&target, address.bytes.data(), address.length);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target),
                  static_cast<socklen_t>(address.length)) != 0) {
        // An interrupted connect goes on in the background just like one in
        // progress; both finish when the socket becomes writable.
        if (errno != EINPROGRESS && errno != EINTR) {
            error = errno;
            ::close(fd);
            return INVALID_SOCKET_HANDLE;
        }
        if (waitConnected(fd, deadline, cancel, error) <= 0) {
            ::close(fd);
            return INVALID_SOCKET_HANDLE;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
            soError = errno;
        }
        if (soError != 0) {
            error = soError;
            ::close(fd);
            return INVALID_SOCKET_HANDLE;
        }
    }
    setNoDelay(fd);
    error = 0;
    return fd;
}

int SetKeepAlive(SocketHandle handle, unsigned int idleS, unsigned int intervalS,
                 unsigned int count) {
    const int fd = toFd(handle);
    const int on = idleS != 0 ? 1 : 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        return errno;
    }
    if (on == 0) {
        return 0;
    }
    const int idle = static_cast<int>(idleS);
    const int interval = static_cast<int>(intervalS);
    const int probes = static_cast<int>(count);
    if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0) {
        return errno;
    }
    return 0;
}

int SetUnacknowledgedLimit(SocketHandle handle, unsigned int ms) {
    const unsigned int limit = ms;
    if (::setsockopt(toFd(handle), IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit) != 0) {
        return errno;
    }
    return 0;
}

int PrepareConnected(SocketHandle handle) {
    const int fd = toFd(handle);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return errno;
    }
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        return errno;
    }
    setNoDelay(fd);
    return 0;
}

void CloseSocket(SocketHandle handle) {
    // Not retried on EINTR: Linux releases the descriptor in any case, and a
    // second close could hit a descriptor that another thread just opened.
    ::close(toFd(handle));
}

long SendSome(SocketHandle handle, const void* src, std::size_t n, int& error) {
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
    for (;;) {
        const ssize_t sent = ::send(toFd(handle), src, n, flags);
        if (sent >= 0) {
            return sent;
        }
        if (errno != EINTR) {
            error = errno == EWOULDBLOCK ? EAGAIN : errno;
            return -1;
        }
    }
}

long RecvSome(SocketHandle handle, void* dst, std::size_t n, int& error) {
    for (;;) {
        const ssize_t got = ::recv(toFd(handle), dst, n, MSG_DONTWAIT);
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            error = errno == EWOULDBLOCK ? EAGAIN : errno;
            return -1;
        }
    }
}

int WaitReady(SocketHandle handle, Direction direction, int timeoutMs, int& error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    pollfd entry{};
    entry.fd = toFd(handle);
    entry.events = direction == Direction::Read ? POLLIN : POLLOUT;
    int waitMs = timeoutMs < 0 ? 0 : timeoutMs;
    for (;;) {
        entry.revents = 0;
        const int rc = ::poll(&entry, 1, waitMs);
        if (rc > 0) {
            if ((entry.revents & POLLNVAL) != 0) {
                error = EBADF;
                return -1;
            }
            return 1;
        }
        if (rc == 0) {
            return 0;
        }
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
        waitMs = msUntil(deadline);
    }
}

int ReadableBytes(SocketHandle handle) {
    int count = 0;
    if (::ioctl(toFd(handle), FIONREAD, &count) != 0) {
        return -1;
    }
    return count;
}

PeekResult PeekForClose(SocketHandle handle, int& error) {
    unsigned char byte = 0;
    for (;;) {
        const ssize_t got = ::recv(toFd(handle), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got > 0) {
            return PeekResult::Data;
        }
        if (got == 0) {
            return PeekResult::Closed;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return PeekResult::Empty;
        }
        if (errno != EINTR) {
            error = errno;
            return PeekResult::Failed;
        }
    }
}

LoopReady WaitLoop(SocketHandle socket, SocketHandle wakeHandle, int timeoutMs) {
    pollfd entries[2]{};
    entries[0].fd = toFd(wakeHandle);
    entries[0].events = POLLIN;
    nfds_t count = 1;
    if (socket != INVALID_SOCKET_HANDLE) {
        entries[1].fd = toFd(socket);
        entries[1].events = POLLIN;
        count = 2;
    }
    LoopReady ready;
    if (::poll(entries, count, timeoutMs < 0 ? -1 : timeoutMs) <= 0) {
        return ready;
    }
    ready.wake = entries[0].revents != 0;
    ready.socket = count == 2 && entries[1].revents != 0;
    return ready;
}

unsigned short LocalPort(SocketHandle handle) {
    sockaddr_storage address{};
    socklen_t len = sizeof address;
    if (::getsockname(toFd(handle), reinterpret_cast<sockaddr*>(&address), &len) != 0) {
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
