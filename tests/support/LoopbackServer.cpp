#include "support/LoopbackServer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kavra::test {

namespace {

using Clock = std::chrono::steady_clock;

// Bound on a single Send: the client under test may stop reading, and a test
// must fail rather than hang then.
constexpr std::chrono::seconds SEND_LIMIT{10};

int msUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// True when fd is ready for events before deadline (errors count as ready, so
// that the following call reports them).
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{};
        entry.fd = fd;
        entry.events = events;
        const int rc = ::poll(&entry, 1, msUntil(deadline));
        if (rc > 0) {
            return true;
        }
        if (rc == 0 || errno != EINTR) {
            return false;
        }
    }
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

LoopbackServer::LoopbackServer(unsigned short port) {
    const auto fail = [this](const char* what) {
        const int error = errno;
        closeFd(m_listenFd);
        closeFd(m_stopPipe[0]);
        closeFd(m_stopPipe[1]);
        throw std::system_error(error, std::generic_category(), what);
    };

    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) {
        fail("socket");
    }
    // A test restarts a server on the port of one it stopped, while that
    // one's connections may still sit in TIME_WAIT.
    int on = 1;
    if (::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        fail("setsockopt");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail("bind");
    }
    if (::listen(m_listenFd, 16) != 0) {
        fail("listen");
    }
    socklen_t len = sizeof address;
    if (::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        fail("getsockname");
    }
    m_port = ntohs(address.sin_port);
    if (::pipe2(m_stopPipe, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
    m_acceptThread = std::thread(&LoopbackServer::acceptLoop, this);
}

LoopbackServer::~LoopbackServer() {
    Stop();
    if (m_acceptThread.joinable()) {
        m_acceptThread.join();
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (int& fd : m_connections) {
        closeFd(fd);
    }
    closeFd(m_listenFd);
    closeFd(m_stopPipe[0]);
    closeFd(m_stopPipe[1]);
}

void LoopbackServer::acceptLoop() {
    for (;;) {
        pollfd entries[2]{};
        entries[0].fd = m_listenFd;
        entries[0].events = POLLIN;
        entries[1].fd = m_stopPipe[0];
        entries[1].events = POLLIN;
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (entries[1].revents != 0) {
            return;
        }
        if ((entries[0].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EBADF || errno == EINVAL) {
                return;
            }
            continue;
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped) {
            ::close(fd);
            return;
        }
        m_connections.push_back(fd);
        m_changed.notify_all();
    }
}

bool LoopbackServer::WaitForConnection(std::size_t index, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, timeout, [&] { return m_connections.size() > index || m_stopped; });
    return m_connections.size() > index;
}

std::size_t LoopbackServer::ConnectionCount() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

int LoopbackServer::connectionFd(std::size_t index) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_connections.size() ? m_connections[index] : -1;
}

bool LoopbackServer::Send(std::size_t index, const void* data, std::size_t size) {
    const int fd = connectionFd(index);
    if (fd < 0 || (data == nullptr && size > 0)) {
        return false;
    }
    const auto deadline = Clock::now() + SEND_LIMIT;
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t sent = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        if (!waitFor(fd, POLLOUT, deadline) || Clock::now() >= deadline) {
            return false;
        }
    }
    return true;
}

bool LoopbackServer::Send(std::size_t index, const std::vector<unsigned char>& bytes) {
    return Send(index, bytes.data(), bytes.size());
}

std::vector<unsigned char> LoopbackServer::Receive(std::size_t index, std::size_t size,
                                                   std::chrono::milliseconds timeout) {
    std::vector<unsigned char> result;
    const int fd = connectionFd(index);
    if (fd < 0) {
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    result.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::recv(fd, result.data() + done, size - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(fd, POLLIN, deadline)) {
            break;
        }
    }
    result.resize(done);
    return result;
}

std::vector<unsigned char> LoopbackServer::ReceiveUntilQuiet(std::size_t index,
                                                             std::chrono::milliseconds quiet,
                                                             std::chrono::milliseconds total) {
    std::vector<unsigned char> result;
    const int fd = connectionFd(index);
    if (fd < 0) {
        return result;
    }
    const auto end = Clock::now() + total;
    unsigned char chunk[4096];
    for (;;) {
        const auto quietEnd = std::min(end, Clock::now() + quiet);
        if (!waitFor(fd, POLLIN, quietEnd)) {
            break;
        }
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            result.insert(result.end(), chunk, chunk + got);
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            break;
        }
        if (Clock::now() >= end) {
            break;
        }
    }
    return result;
}

bool LoopbackServer::WaitForClientClose(std::size_t index, std::chrono::milliseconds timeout) {
    const int fd = connectionFd(index);
    if (fd < 0) {
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    // Bytes still arriving before the close are read and dropped.
    unsigned char chunk[4096];
    for (;;) {
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got == 0) {
            return true;
        }
        if (got > 0 && Clock::now() >= deadline) {
            return false;
        }
        if (got < 0) {
            if (errno == ECONNRESET) {
                return true;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return false;
            }
            if (!waitFor(fd, POLLIN, deadline)) {
                return false;
            }
        }
    }
}

void LoopbackServer::CloseConnection(std::size_t index) {
    // Shut down rather than closed: the descriptor stays valid (and its
    // number unused by anything else) until the destructor, so a thread that
    // is still reading or writing it meets the close instead of a stranger.
    const int fd = connectionFd(index);
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

void LoopbackServer::Stop() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped) {
            return;
        }
        m_stopped = true;
        m_changed.notify_all();
    }
    const char byte = 1;
    while (::write(m_stopPipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
    if (m_acceptThread.joinable() && m_acceptThread.get_id() != std::this_thread::get_id()) {
        m_acceptThread.join();
    }
    // Closing the listener makes later connects to the port fail at once.
    const std::lock_guard<std::mutex> lock(m_mutex);
    closeFd(m_listenFd);
    for (const int fd : m_connections) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

std::vector<unsigned char> MakeHeader(std::int32_t length) {
    std::vector<unsigned char> header(10, 0xFF);
    const auto value = static_cast<std::uint32_t>(length);
    for (int shift = 24; shift >= 0; shift -= 8) {
        header.push_back(static_cast<unsigned char>((value >> shift) & 0xFFU));
    }
    return header;
}

std::vector<unsigned char> MakeFrame(const std::vector<unsigned char>& body) {
    std::vector<unsigned char> frame = MakeHeader(static_cast<std::int32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

} // namespace kavra::test
