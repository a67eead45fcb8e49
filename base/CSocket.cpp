#include "kavra/base/CSocket.h"

#include "base/os/SocketApi.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
}

int msUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

} // namespace

CSocket::CSocket() = default;

CSocket::~CSocket() {
    Close();
}

int CSocket::Connect(const std::string& host, unsigned short port, unsigned int timeoutMs) {
    Close();
    if (&host != &m_host) {
        m_host = host;
    }
    m_port = port;
    int error = 0;
    const Handle handle = kavra::os::ConnectTcp(m_host, m_port, timeoutMs, error);
    if (handle == INVALID_HANDLE) {
        // No descriptor, so nothing for the owner to close: the failure is
        // reported through the result and GetLastError, not HasFailed.
        m_lastError = error;
        return 0;
    }
    m_handle = handle;
    m_lastError = 0;
    return 1;
}

int CSocket::Reconnect(unsigned int timeoutMs) {
    if (m_host.empty()) {
        Close();
        m_lastError = EDESTADDRREQ;
        return 0;
    }
    return Connect(m_host, m_port, timeoutMs);
}

void CSocket::Attach(Handle handle) {
    Close();
    // The endpoint of a foreign descriptor is unknown, so the one of an
    // earlier Connect must not be reused by Reconnect.
    m_host.clear();
    m_port = 0;
    m_lastError = 0;
    m_handle = handle;
    if (handle == INVALID_HANDLE) {
        return;
    }
    const int error = kavra::os::PrepareConnected(handle);
    if (error != 0) {
        fail(error);
    }
}

void CSocket::Close() {
    if (m_handle != INVALID_HANDLE) {
        kavra::os::CloseSocket(m_handle);
        m_handle = INVALID_HANDLE;
    }
    m_failed = false;
}

int CSocket::Send(const void* src, int n, int timeoutMs) {
    if (!IsConnected() || src == nullptr || n <= 0) {
        return 0;
    }
    const auto deadline = deadlineAfter(timeoutMs);
    const char* bytes = static_cast<const char*>(src);
    int done = 0;
    while (done < n) {
        int error = 0;
        const long sent =
            kavra::os::SendSome(m_handle, bytes + done, static_cast<std::size_t>(n - done), error);
        if (sent > 0) {
            done += static_cast<int>(sent);
            continue;
        }
        if (sent < 0 && error != EAGAIN) {
            fail(error);
            break;
        }
        const int waitMs = msUntil(deadline);
        if (waitMs == 0) {
            break;
        }
        const int ready =
            kavra::os::WaitReady(m_handle, kavra::os::Direction::Write, waitMs, error);
        if (ready == 0) {
            break;
        }
        if (ready < 0) {
            fail(error);
            break;
        }
    }
    return done;
}

int CSocket::Receive(void* dst, int n, int timeoutMs) {
    if (!IsConnected() || dst == nullptr || n <= 0) {
        return 0;
    }
    const auto deadline = deadlineAfter(timeoutMs);
    char* bytes = static_cast<char*>(dst);
    int done = 0;
    while (done < n) {
        int error = 0;
        const long got =
            kavra::os::RecvSome(m_handle, bytes + done, static_cast<std::size_t>(n - done), error);
        if (got > 0) {
            done += static_cast<int>(got);
            continue;
        }
        if (got == 0) {
            fail(0);
            break;
        }
        if (error != EAGAIN) {
            fail(error);
            break;
        }
        const int waitMs = msUntil(deadline);
        if (waitMs == 0) {
            break;
        }
        const int ready = kavra::os::WaitReady(m_handle, kavra::os::Direction::Read, waitMs, error);
        if (ready == 0) {
            break;
        }
        if (ready < 0) {
            fail(error);
            break;
        }
    }
    return done;
}

int CSocket::Available() const {
    if (!IsOpen()) {
        return -1;
    }
    return kavra::os::ReadableBytes(m_handle);
}

bool CSocket::PeerClosed() {
    if (!IsOpen()) {
        return false;
    }
    int error = 0;
    switch (kavra::os::PeekForClose(m_handle, error)) {
    case kavra::os::PeekResult::Closed:
        fail(0);
        return true;
    case kavra::os::PeekResult::Failed:
        // A reset or other error ends the connection just as a close does.
        fail(error);
        return true;
    case kavra::os::PeekResult::Data:
    case kavra::os::PeekResult::Empty:
        break;
    }
    return false;
}

unsigned short CSocket::GetLocalPort() const {
    return IsOpen() ? kavra::os::LocalPort(m_handle) : 0;
}

void CSocket::fail(int error) {
    m_failed = true;
    m_lastError = error;
}
