#include "support/TlsEchoServer.h"

#include "serving/ServingApi.h"
#include "base/os/tls/TlsStream.h"
#include "support/Slowdown.h"

#include <cerrno>
#include <system_error>

namespace kavra::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int POLL_MS = 20;
const std::chrono::seconds HANDSHAKE_LIMIT = Patient(std::chrono::seconds(5));

os::TlsSettings Serving(const CertPair& pair) {
    os::TlsSettings settings;
    settings.server = true;
    settings.certFile = pair.cert;
    settings.keyFile = pair.key;
    return settings;
}

} // namespace

bool TlsEchoServer::Supported(const CertPair& pair, std::string& why) {
    int error = 0;
    return os::TlsEngine::Create(Serving(pair), error, why) != nullptr;
}

struct TlsEchoServer::Connection {
    os::SocketHandle fd = os::INVALID_SOCKET_HANDLE;
    std::unique_ptr<os::TlsStream> stream;
    // The serving thread's own: plaintext to echo.
    std::string outbound;
    // Under m_mutex.
    std::string received;
    int end = OPEN;
};

TlsEchoServer::TlsEchoServer(const CertPair& pair, bool echo) : m_pair(pair), m_echo(echo) {
    int error = 0;
    m_listener = os::ListenTcp("127.0.0.1", 0, 16, os::PortReuse::Plain, error);
    if (m_listener == os::INVALID_SOCKET_HANDLE) {
        throw std::system_error(error, std::generic_category(), "listen");
    }
    m_port = os::LocalPort(m_listener);
    m_thread = std::thread(&TlsEchoServer::serve, this);
}

TlsEchoServer::~TlsEchoServer() {
    m_stopping.store(true);
    m_thread.join();
    for (const auto& connection : m_connections) {
        if (connection->fd != os::INVALID_SOCKET_HANDLE) {
            os::CloseSocket(connection->fd);
        }
    }
    os::CloseSocket(m_listener);
}

void TlsEchoServer::serve() {
    while (!m_stopping.load()) {
        std::vector<Connection*> live;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& connection : m_connections) {
                if (connection->end == OPEN) {
                    live.push_back(connection.get());
                }
            }
        }
        std::vector<os::WaitItem> items(1);
        items[0].handle = m_listener;
        items[0].wantRead = true;
        for (Connection* connection : live) {
            os::WaitItem item;
            item.handle = connection->fd;
            item.wantRead = m_reading.load();
            item.wantWrite = !connection->outbound.empty() || connection->stream->HasPendingOutput();
            items.push_back(item);
        }
        int error = 0;
        os::WaitAny(items, POLL_MS, error);
        if (items[0].readable) {
            acceptOne();
        }
        for (Connection* connection : live) {
            pump(*connection);
        }
    }
}

void TlsEchoServer::acceptOne() {
    const os::SocketHandle fd = os::Accept(m_listener, true, true, nullptr);
    if (fd == os::INVALID_SOCKET_HANDLE) {
        return;
    }
    int error = 0;
    std::string detail;
    auto engine = os::TlsEngine::Create(Serving(m_pair), error, detail);
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    if (engine) {
        connection->stream = std::make_unique<os::TlsStream>(fd, std::move(engine));
        error = connection->stream->Handshake(Clock::now() + HANDSHAKE_LIMIT, &m_stopping);
    }
    if (!connection->stream || error != 0) {
        m_failedHandshakes.fetch_add(1);
        os::CloseSocket(fd);
        return;
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.push_back(std::move(connection));
}

void TlsEchoServer::pump(Connection& c) {
    int end = OPEN;
    char chunk[16 * 1024];
    while (m_reading.load()) {
        int error = 0;
        const long got = c.stream->RecvSome(chunk, sizeof chunk, error);
        if (got > 0) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            c.received.append(chunk, static_cast<std::size_t>(got));
            if (m_echo) {
                c.outbound.append(chunk, static_cast<std::size_t>(got));
            }
            continue;
        }
        if (got == 0 || error != EAGAIN) {
            end = got == 0 ? CLOSE_NOTIFY : error;
        }
        break;
    }
    while (end == OPEN && !c.outbound.empty()) {
        int error = 0;
        const long sent = c.stream->SendSome(c.outbound.data(), c.outbound.size(), error);
        if (sent > 0) {
            c.outbound.erase(0, static_cast<std::size_t>(sent));
        } else {
            end = error == EAGAIN ? OPEN : error;
            break;
        }
    }
    int ignored = 0;
    c.stream->FlushSome(ignored);
    if (end == OPEN) {
        return;
    }
    if (end == CLOSE_NOTIFY) {
        c.stream->Shutdown();
    }
    os::CloseSocket(c.fd);
    const std::lock_guard<std::mutex> lock(m_mutex);
    c.fd = os::INVALID_SOCKET_HANDLE;
    c.end = end;
}

std::size_t TlsEchoServer::Connections() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

bool TlsEchoServer::WaitForConnection(std::size_t index, std::chrono::milliseconds timeout) const {
    const auto end = Clock::now() + timeout;
    while (Connections() <= index) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string TlsEchoServer::Received(std::size_t index) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_connections.size() ? m_connections[index]->received : std::string();
}

int TlsEchoServer::EndOf(std::size_t index) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_connections.size() ? m_connections[index]->end : OPEN;
}

bool TlsEchoServer::WaitForEnd(std::size_t index, std::chrono::milliseconds timeout) const {
    const auto end = Clock::now() + timeout;
    while (EndOf(index) == OPEN) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace kavra::test
