// The Linux half of the serving side: the calls whose spelling differs
// from Winsock's.
#include "serving/ServingSockets.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

namespace kavra::os {

namespace {

using Clock = std::chrono::steady_clock;

// A transfer's outcome: the count, or -1 with error set; EWOULDBLOCK is
// reported as EAGAIN.
long transferred(ssize_t n, int& error) {
    if (n >= 0) {
        return static_cast<long>(n);
    }
    error = errno == EWOULDBLOCK ? EAGAIN : errno;
    return -1;
}

} // namespace

SocketHandle AcceptNative(SocketHandle listener, bool nonBlocking, sockaddr_storage& address) {
    const int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    for (;;) {
        socklen_t length = sizeof address;
        const int fd =
            ::accept4(Native(listener), reinterpret_cast<sockaddr*>(&address), &length, flags);
        if (fd >= 0 || errno != EINTR) {
            return fd < 0 ? INVALID_SOCKET_HANDLE : fd;
        }
    }
}

int SetPortReuse(SocketHandle handle, PortReuse reuse) {
    // SO_REUSEADDR never lets two listeners share a port here, so it serves
    // Exclusive as well.
    return reuse == PortReuse::Plain ? 0 : SetFlag(handle, SOL_SOCKET, SO_REUSEADDR, true);
}

long Send(SocketHandle handle, const void* src, std::size_t n, int& error) {
    return transferred(::send(Native(handle), src, n, MSG_NOSIGNAL), error);
}

long Recv(SocketHandle handle, void* dst, std::size_t n, int& error) {
    return transferred(::recv(Native(handle), dst, n, 0), error);
}

void ShutdownBoth(SocketHandle handle) {
    ::shutdown(Native(handle), SHUT_RDWR);
}

void ShutdownSend(SocketHandle handle) {
    ::shutdown(Native(handle), SHUT_WR);
}

void CloseAbortive(SocketHandle handle) {
    const linger abortive{1, 0};
    ::setsockopt(Native(handle), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    CloseSocket(handle);
}

bool ShutdownResetsLaterData() {
    return true;
}

bool ConnectedPair(SocketHandle pair[2]) {
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return false;
    }
    pair[0] = fds[0];
    pair[1] = fds[1];
    return true;
}

int WaitAny(std::vector<WaitItem>& items, int timeoutMs, int& error) {
    std::vector<pollfd> fds(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        fds[i].fd = Native(items[i].handle);
        fds[i].events = static_cast<short>((items[i].wantRead ? POLLIN : 0) |
                                           (items[i].wantWrite ? POLLOUT : 0));
        items[i].readable = false;
        items[i].writable = false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int waitMs = timeoutMs < 0 ? -1 : timeoutMs;
    int ready = 0;
    while ((ready = ::poll(fds.data(), fds.size(), waitMs)) < 0) {
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
        waitMs = timeoutMs < 0 ? -1 : MsUntil(deadline);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        items[i].readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        items[i].writable = (fds[i].revents & POLLOUT) != 0;
    }
    return ready;
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

} // namespace kavra::os
