#include "kavra/base/CSocketClientThread.h"

#include "kavra/base/CSocket.h"

#include <algorithm>
#include <chrono>
#include <thread>

CSocketClientThread::CSocketClientThread() = default;

CSocketClientThread::~CSocketClientThread() {
    // Stop the loop before the socket it may be using goes away.
    Destroy();
    releaseSocket();
}

char* CSocketClientThread::GetClassNameA() {
    static char name[] = "CSocketClientThread";
    return name;
}

void CSocketClientThread::OnSocketClose(int error) {
    CBaseSocketThread::OnSocketClose(error);
    if (m_server.GetReconnect() && !IsQuitRequested()) {
        ScheduleReconnect(m_server.DelayForAttempt(1), 1);
    }
}

void CSocketClientThread::OnSocketReconnect(int attempt) {
    if (m_socket == nullptr || IsQuitRequested()) {
        return;
    }
    // The same CSocket object reconnects, so m_socket never changes under an
    // application thread that is testing it.
    // A stop request ends the attempt early, so that Destroy never waits out
    // a long connect timeout.
    if (m_socket->Connect(m_server.GetHost(), m_server.GetPort(), m_server.GetConnectTimeoutMs(),
                          &QuitRequestedFlag()) != 0) {
        m_reconnections.fetch_add(1);
        OnSocketConnect(0);
        return;
    }
    if (m_server.GetReconnect()) {
        ScheduleReconnect(m_server.DelayForAttempt(attempt + 1), attempt + 1);
    }
}

bool CSocketClientThread::ReconnectWithin(unsigned int withinMs) {
    using Clock = std::chrono::steady_clock;
    if (m_socket == nullptr || m_socket->IsConnected()) {
        return m_socket != nullptr;
    }
    if (!IsReconnectScheduled() || IsQuitRequested() ||
        ReconnectDue() > Clock::now() + std::chrono::milliseconds(withinMs)) {
        return false;
    }
    // In short slices, so that a stop is not kept waiting.
    while (Clock::now() < ReconnectDue()) {
        if (IsQuitRequested()) {
            return false;
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>(ReconnectDue() - Clock::now(), std::chrono::milliseconds(20)));
    }
    const int attempt = ReconnectAttempt();
    CancelReconnect();
    OnSocketReconnect(attempt);
    return m_socket->IsConnected();
}

int CSocketClientThread::SetSocket(CSocket* socket, int takeOwnership, CServerStatus* server) {
    CancelReconnect();

    if (socket == nullptr && server == nullptr) {
        releaseSocket();
        return 0;
    }

    if (socket == nullptr) {
        m_server = *server;
        releaseSocket();
        m_ownedSocket = std::make_unique<CSocket>();
        m_socket = m_ownedSocket.get();
        const int connected = m_socket->Connect(m_server.GetHost(), m_server.GetPort(),
                                                m_server.GetConnectTimeoutMs());
        if (connected == 0 && m_server.GetReconnect()) {
            ScheduleReconnect(m_server.DelayForAttempt(1), 1);
        }
        return connected;
    }

    if (socket == m_ownedSocket.get()) {
        if (takeOwnership == 0) {
            // The caller takes the socket back; it stays attached.
            static_cast<void>(m_ownedSocket.release());
        }
    } else {
        releaseSocket();
        if (takeOwnership != 0) {
            m_ownedSocket.reset(socket);
        }
    }
    m_socket = socket;

    m_server = server != nullptr ? *server : CServerStatus();
    if (m_server.GetHost().empty()) {
        m_server.SetServer(socket->GetHost(), socket->GetPort());
    }
    if (m_server.GetHost().empty()) {
        // A descriptor handed over already connected (Attach) has no endpoint
        // to go back to.
        m_server.SetReconnect(false);
    }
    if (!socket->IsConnected() && m_server.GetReconnect()) {
        ScheduleReconnect(m_server.DelayForAttempt(1), 1);
    }
    return socket->IsConnected() ? 1 : 0;
}

std::uint64_t CSocketClientThread::GetReconnectCount() const {
    return m_reconnections.load();
}

void CSocketClientThread::releaseSocket() {
    m_socket = nullptr;
    m_ownedSocket.reset();
}
