// The Linux half of the platform layer: the calls whose spelling differs
// from Winsock's.
#include "base/os/Sockets.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kavra::os {

namespace {

using Clock = std::chrono::steady_clock;

int toFd(SocketHandle handle) {
    return static_cast<int>(handle);
}

} // namespace

void StartSockets() {}

int LastSocketError() {
    return errno;
}

int LookupErrorCode(int gaiResult) {
    if (gaiResult == EAI_SYSTEM && errno != 0) {
        return errno;
    }
    if (gaiResult == EAI_MEMORY) {
        return ENOMEM;
    }
    return EHOSTUNREACH;
}

SocketHandle OpenSocket(int family, int socktype, int protocol, int& error) {
    const int fd = ::socket(family, socktype | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        error = errno;
        return INVALID_SOCKET_HANDLE;
    }
    return fd;
}

int PendingConnectError(SocketHandle handle) {
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(toFd(handle), SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
        return errno;
    }
    return soError;
}

int SetBlocking(SocketHandle handle, bool blocking) {
    const int fd = toFd(handle);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 ||
        ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) != 0) {
        return errno;
    }
    return 0;
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
    const int error = SetBlocking(handle, false);
    if (error != 0) {
        return error;
    }
    if (::fcntl(toFd(handle), F_SETFD, FD_CLOEXEC) != 0) {
        return errno;
    }
    SetNoDelay(handle);
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
        waitMs = MsUntil(deadline);
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

LoopReady WaitLoop(SocketHandle socket, Direction direction, SocketHandle wakeHandle,
                   int timeoutMs) {
    pollfd entries[2]{};
    entries[0].fd = toFd(wakeHandle);
    entries[0].events = POLLIN;
    nfds_t count = 1;
    if (socket != INVALID_SOCKET_HANDLE) {
        entries[1].fd = toFd(socket);
        entries[1].events = direction == Direction::Read ? POLLIN : POLLOUT;
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

} // namespace kavra::os
