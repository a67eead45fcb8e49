#include "base/os/TcpConnect.h"

#include "base/os/TcpStream.h"

#include <algorithm>
#include <cerrno>

namespace kavra {

TcpConnect::TcpConnect(std::string host, unsigned short port, Clock::time_point deadline)
    : m_host(std::move(host)), m_port(port), m_deadline(deadline) {}

TcpConnect::~TcpConnect() {
    closeAttempt();
}

void TcpConnect::closeAttempt() {
    if (m_handle != os::INVALID_SOCKET_HANDLE) {
        os::CloseSocket(m_handle);
        m_handle = os::INVALID_SOCKET_HANDLE;
    }
}

SetupStep::Clock::time_point TcpConnect::WakeBy() const {
    return m_handle != os::INVALID_SOCKET_HANDLE ? m_addressDeadline : m_deadline;
}

SetupStep::Progress TcpConnect::Advance(int& error, std::string& /*detail*/) {
    if (!m_resolved) {
        const Progress resolving = resolve(error);
        if (resolving != Progress::Done) {
            return resolving;
        }
    }
    if (m_handle == os::INVALID_SOCKET_HANDLE) {
        return tryNext(error);
    }
    const int progress = os::ConnectProgress(m_handle);
    if (progress == 0) {
        return Progress::Done;
    }
    if (progress == EINPROGRESS && Clock::now() < m_addressDeadline) {
        return Progress::WantWrite;
    }
    m_lastError = progress == EINPROGRESS ? ETIMEDOUT : progress;
    closeAttempt();
    return tryNext(error);
}

SetupStep::Progress TcpConnect::resolve(int& error) {
    int result = 0;
    if (!m_lookup) {
        result = os::StartLookup(m_host, m_port, m_addresses, m_lookup);
    } else if (!os::PollLookup(*m_lookup, result, m_addresses)) {
        result = EINPROGRESS;
    }
    if (result == EINPROGRESS) {
        if (Clock::now() < m_deadline) {
            return Progress::Later;
        }
        result = ETIMEDOUT;
    }
    m_lookup.reset();
    if (result != 0) {
        error = result;
        return Progress::Failed;
    }
    m_resolved = true;
    return Progress::Done;
}

SetupStep::Progress TcpConnect::tryNext(int& error) {
    while (m_next < m_addresses.size()) {
        const Clock::time_point now = Clock::now();
        if (now >= m_deadline) {
            m_lastError = ETIMEDOUT;
            break;
        }
        const auto share = (m_deadline - now) / static_cast<long>(m_addresses.size() - m_next);
        m_addressDeadline = now + share;
        int started = 0;
        m_handle = os::StartConnect(m_addresses[m_next++], started);
        if (started == 0) {
            return Progress::Done;
        }
        if (started == EINPROGRESS) {
            return Progress::WantWrite;
        }
        m_lastError = started;
    }
    error = m_lastError;
    return Progress::Failed;
}

std::unique_ptr<ByteStream> TcpConnect::TakeStream() {
    const os::SocketHandle handle = m_handle;
    m_handle = os::INVALID_SOCKET_HANDLE;
    return std::make_unique<TcpStream>(handle);
}

} // namespace kavra
