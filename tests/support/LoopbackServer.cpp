#include "support/LoopbackServer.h"

#include "serving/ServingApi.h"
#include "support/Slowdown.h"

#include <kavra/KavraHeader.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace kavra::test {

namespace {

using Clock = std::chrono::steady_clock;

// Bound on a single Send: the client under test may stop reading, and a test
// must fail rather than hang then.
const std::chrono::seconds SEND_LIMIT = Patient(std::chrono::seconds(10));

// How long the accept loop waits before it looks at the stop flag again.
constexpr int ACCEPT_POLL_MS = 20;

// Bytes asked for by one read of ReceiveUntilQuiet.
constexpr std::size_t RECEIVE_CHUNK = 64 * 1024;

// True when fd is readable (or writable) before deadline; errors count as
// ready, so that the following call reports them.
bool waitFor(net::Handle fd, bool read, Clock::time_point deadline) {
    const int timeoutMs = os::MsUntil(deadline);
    return (read ? net::WaitReadable(fd, timeoutMs) : net::WaitWritable(fd, timeoutMs)) > 0;
}

void closeFd(net::Handle& fd) {
    if (fd != net::INVALID_HANDLE) {
        net::Close(fd);
        fd = net::INVALID_HANDLE;
    }
}

} // namespace

LoopbackServer::LoopbackServer(unsigned short port) {
    int error = 0;
    // A test restarts a server on the port of one it stopped, while that
    // one's connections may still sit in TIME_WAIT.
    m_listenFd = net::ListenLoopback(net::Family::Ipv4, port, 16, true, error);
    if (m_listenFd == net::INVALID_HANDLE) {
        throw std::system_error(error, std::generic_category(), "listen");
    }
    m_port = net::LocalPort(m_listenFd);
    m_acceptThread = std::thread(&LoopbackServer::acceptLoop, this);
}

LoopbackServer::~LoopbackServer() {
    Stop();
    if (m_acceptThread.joinable()) {
        m_acceptThread.join();
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (net::Handle& fd : m_connections) {
        closeFd(fd);
    }
    closeFd(m_listenFd);
}

void LoopbackServer::acceptLoop() {
    while (!m_stopping.load()) {
        const int ready = net::WaitReadable(m_listenFd, ACCEPT_POLL_MS);
        if (ready < 0) {
            return;
        }
        if (ready == 0) {
            continue;
        }
        const net::Handle fd = net::Accept(m_listenFd, true);
        if (fd == net::INVALID_HANDLE) {
            continue;
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped) {
            net::Close(fd);
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

net::Handle LoopbackServer::connectionFd(std::size_t index) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_connections.size() ? m_connections[index] : net::INVALID_HANDLE;
}

bool LoopbackServer::Send(std::size_t index, const void* data, std::size_t size) {
    const net::Handle fd = connectionFd(index);
    if (fd == net::INVALID_HANDLE || (data == nullptr && size > 0)) {
        return false;
    }
    const auto deadline = Clock::now() + SEND_LIMIT;
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        int error = 0;
        const long sent = net::Send(fd, bytes + done, size - done, error);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && error == EINTR) {
            continue;
        }
        if (sent < 0 && error != EAGAIN) {
            return false;
        }
        if (!waitFor(fd, false, deadline) || Clock::now() >= deadline) {
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
    const net::Handle fd = connectionFd(index);
    if (fd == net::INVALID_HANDLE) {
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    result.resize(size);
    std::size_t done = 0;
    while (done < size) {
        int error = 0;
        const long got = net::Recv(fd, result.data() + done, size - done, error);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) {
            break;
        }
        if (error == EINTR) {
            continue;
        }
        if (error != EAGAIN || !waitFor(fd, true, deadline)) {
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
    const net::Handle fd = connectionFd(index);
    if (fd == net::INVALID_HANDLE) {
        return result;
    }
    const auto end = Clock::now() + total;
    // Large reads: a peer that reads megabytes in small pieces falls behind
    // the writer where each call is slow (Wine in an emulated guest).
    std::vector<unsigned char> chunk(RECEIVE_CHUNK);
    for (;;) {
        const auto quietEnd = std::min(end, Clock::now() + quiet);
        if (!waitFor(fd, true, quietEnd)) {
            break;
        }
        int error = 0;
        const long got = net::Recv(fd, chunk.data(), chunk.size(), error);
        if (got > 0) {
            result.insert(result.end(), chunk.begin(), chunk.begin() + got);
        } else if (got == 0 || (error != EINTR && error != EAGAIN)) {
            break;
        }
        if (Clock::now() >= end) {
            break;
        }
    }
    return result;
}

bool LoopbackServer::WaitForClientClose(std::size_t index, std::chrono::milliseconds timeout) {
    const net::Handle fd = connectionFd(index);
    if (fd == net::INVALID_HANDLE) {
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    // Bytes still arriving before the close are read and dropped.
    unsigned char chunk[4096];
    for (;;) {
        int error = 0;
        const long got = net::Recv(fd, chunk, sizeof chunk, error);
        if (got == 0) {
            return true;
        }
        if (got > 0 && Clock::now() >= deadline) {
            return false;
        }
        if (got < 0) {
            if (error == ECONNRESET) {
                return true;
            }
            if (error == EINTR) {
                continue;
            }
            if (error != EAGAIN) {
                return false;
            }
            if (!waitFor(fd, true, deadline)) {
                return false;
            }
        }
    }
}

void LoopbackServer::CloseConnection(std::size_t index) {
    // Shut down rather than closed: the descriptor stays valid (and its
    // number unused by anything else) until the destructor, so a thread that
    // is still reading or writing it meets the close instead of a stranger.
    const net::Handle fd = connectionFd(index);
    if (fd != net::INVALID_HANDLE) {
        net::Shutdown(fd);
    }
}

void LoopbackServer::ResetConnection(std::size_t index) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (index < m_connections.size() && m_connections[index] != net::INVALID_HANDLE) {
        net::Reset(m_connections[index]);
        m_connections[index] = net::INVALID_HANDLE;
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
    m_stopping.store(true);
    if (m_acceptThread.joinable() && m_acceptThread.get_id() != std::this_thread::get_id()) {
        m_acceptThread.join();
    }
    // Closing the listener makes later connects to the port fail at once.
    const std::lock_guard<std::mutex> lock(m_mutex);
    closeFd(m_listenFd);
    for (const net::Handle fd : m_connections) {
        net::Shutdown(fd);
    }
}

std::vector<unsigned char> MakeHeader(std::int32_t length) {
    std::vector<unsigned char> header(KavraHeader::HEADER_LENGTH);
    KavraHeader::EncodeHeader(length, header.data());
    return header;
}

std::vector<unsigned char> MakeFrame(const std::vector<unsigned char>& body) {
    std::vector<unsigned char> frame = MakeHeader(static_cast<std::int32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

} // namespace kavra::test
