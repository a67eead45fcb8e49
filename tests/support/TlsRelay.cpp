#include "support/TlsRelay.h"

#include "serving/ServingApi.h"

#include <system_error>
#include <vector>

namespace kavra::test {

namespace {

constexpr int POLL_MS = 20;

bool SendAll(os::SocketHandle fd, const char* data, std::size_t size) {
    while (size > 0) {
        int error = 0;
        const long sent = os::Send(fd, data, size, error);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

} // namespace

TlsRelay::TlsRelay(unsigned short upstreamPort) : m_upstream(upstreamPort) {
    int error = 0;
    m_listener = os::ListenTcp("127.0.0.1", 0, 16, os::PortReuse::Plain, error);
    if (m_listener == os::INVALID_SOCKET_HANDLE) {
        throw std::system_error(error, std::generic_category(), "listen");
    }
    m_port = os::LocalPort(m_listener);
    m_thread = std::thread(&TlsRelay::serve, this);
}

TlsRelay::~TlsRelay() {
    m_stopping.store(true);
    m_thread.join();
    os::CloseSocket(m_listener);
}

void TlsRelay::serve() {
    while (!m_stopping.load()) {
        int error = 0;
        if (os::WaitReady(m_listener, os::Direction::Read, POLL_MS, error) <= 0) {
            continue;
        }
        const os::SocketHandle client = os::Accept(m_listener, false, true, nullptr);
        if (client == os::INVALID_SOCKET_HANDLE) {
            continue;
        }
        const os::SocketHandle server = os::ConnectTcp("127.0.0.1", m_upstream, 5000, error, nullptr);
        const bool reset = server != os::INVALID_SOCKET_HANDLE &&
                           os::SetBlocking(server, true) == 0 && relay(client, server);
        if (server != os::INVALID_SOCKET_HANDLE) {
            os::CloseSocket(server);
        }
        if (reset) {
            os::CloseAbortive(client);
        } else {
            os::CloseSocket(client);
        }
    }
}

// Both directions on this thread; the sockets are blocking, and each side
// reads what it is sent, so a forward never waits long. True when the fault
// asks for the client's connection to be reset.
bool TlsRelay::relay(os::SocketHandle client, os::SocketHandle server) {
    Cursor cursor;
    std::vector<char> chunk(64 * 1024);
    while (!m_stopping.load()) {
        std::vector<os::WaitItem> items(2);
        items[0].handle = client;
        items[1].handle = server;
        items[0].wantRead = items[1].wantRead = true;
        int error = 0;
        if (os::WaitAny(items, POLL_MS, error) <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (!items[i].readable) {
                continue;
            }
            const long got = os::Recv(items[i].handle, chunk.data(), chunk.size(), error);
            if (got <= 0) {
                return false;
            }
            const auto size = static_cast<std::size_t>(got);
            const bool going = i == 0 ? SendAll(server, chunk.data(), size)
                                      : forwardDown(chunk.data(), size, cursor, client);
            if (!going) {
                return cursor.reset;
            }
        }
    }
    return false;
}

bool TlsRelay::forwardDown(char* data, std::size_t size, Cursor& cursor, os::SocketHandle client) {
    for (std::size_t i = 0; i < size; ++i) {
        if (cursor.headerBytes < sizeof cursor.header) {
            cursor.header[cursor.headerBytes++] = static_cast<unsigned char>(data[i]);
            if (cursor.headerBytes == sizeof cursor.header) {
                cursor.bodyTotal = (static_cast<std::size_t>(cursor.header[3]) << 8) | cursor.header[4];
                cursor.bodySeen = 0;
                cursor.fault = m_armed.exchange(Fault::None);
            }
            continue;
        }
        if (cursor.bodySeen == cursor.bodyTotal / 2 && cursor.fault != Fault::None) {
            const Fault fault = cursor.fault;
            cursor.fault = Fault::None;
            m_done.fetch_add(1);
            if (fault == Fault::ResetMidRecord) {
                SendAll(client, data, i);
                cursor.reset = true;
                return false;
            }
            data[i] = static_cast<char>(data[i] ^ 0x01);
        }
        if (++cursor.bodySeen == cursor.bodyTotal) {
            cursor.headerBytes = 0;
        }
    }
    return SendAll(client, data, size);
}

} // namespace kavra::test
