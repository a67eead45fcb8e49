#include "kavra/base/CSocketClientThread.h"

#include "base/ThreadCheck.h"
#include "kavra/base/CSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

// Clients started together must not draw the same jitter.
std::uint32_t seedFor(const void* self) {
    std::random_device device;
    return device() ^ static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(self));
}

} // namespace

CSocketClientThread::CSocketClientThread() : m_random(seedFor(this)) {}

CSocketClientThread::~CSocketClientThread() {
    // Stop the loop before the socket it may be using goes away.
    Destroy();
    releaseSocket();
}

char* CSocketClientThread::GetClassNameA() {
    static char name[] = "CSocketClientThread";
    return name;
}

void CSocketClientThread::BeforeRun() {
    kavra::AssertInThread(*this, __func__);
    CBaseSocketThread::BeforeRun();
    if (m_reportConnectAtStart) {
        m_reportConnectAtStart = false;
        // A handler that throws must not keep the thread from running.
        try {
            OnSocketConnect(0);
        } catch (...) {
        }
    }
    if (m_resumeAtStart) {
        m_resumeAtStart = false;
        m_failuresInARow = 0;
        m_outageStart = Clock::now();
        ScheduleReconnect(0, 1);
    }
}

void CSocketClientThread::AfterRun() {
    kavra::AssertInThread(*this, __func__);
    CBaseSocketThread::AfterRun();
    // Every path of a stopping run leaves the connection up, its attempt on
    // the schedule, or a connect under way (see the header), so this sees
    // every debt.
    m_resumeAtStart = m_socket != nullptr && (m_socket->IsOpen() || m_socket->IsConnecting() ||
                                              IsReconnectScheduled());
    CancelReconnect();
    m_attemptUnderWay = 0;
    if (m_socket != nullptr) {
        m_socket->AbortConnect();
    }
    if (m_socket != nullptr && m_socket->IsOpen()) {
        m_socket->Close();
    }
    if (m_connected.load()) {
        markConnected(false);
    }
}

void CSocketClientThread::OnSocketClose(int error) {
    CBaseSocketThread::OnSocketClose(error);
    if (m_connected.load()) {
        markConnected(false);
        m_connectionsLost.fetch_add(1);
    }
    m_failuresInARow = 0;
    m_outageStart = Clock::now();
    // Also during a stop: AfterRun hands the attempt on to the next start.
    if (m_server.GetReconnect() && !m_gaveUp.load()) {
        ScheduleReconnect(delayFor(1), 1);
    }
}

void CSocketClientThread::OnSocketReconnect(int attempt) {
    if (m_socket == nullptr || m_gaveUp.load()) {
        return;
    }
    // The same CSocket object reconnects, so m_socket never changes under an
    // application thread that is testing it. The loop moves the connect on
    // (OnQuerySocket) and waits for it beside its messages, so a stop or a
    // send never waits out a long connect timeout or name lookup; only a
    // connect that fails at once ends here.
    m_socket->SetTls(m_server.GetTls());
    m_socket->SetProxy(m_server.GetProxy());
    m_attemptUnderWay = attempt;
    if (m_socket->BeginConnect(currentHost(), currentPort(), m_server.GetConnectTimeoutMs()) == 0) {
        endAttempt(false);
    }
}

void CSocketClientThread::OnQuerySocket() {
    CBaseSocketThread::OnQuerySocket();
    if (m_socket == nullptr || !m_socket->IsConnecting()) {
        return;
    }
    if (IsQuitRequested()) {
        // Cut short by the stop: owed to the next start, not a failure.
        m_socket->AbortConnect();
        endAttempt(false);
        return;
    }
    const int result = m_socket->ContinueConnect();
    if (result >= 0) {
        endAttempt(result == 1);
    }
}

void CSocketClientThread::endAttempt(bool connected) {
    const int attempt = m_attemptUnderWay;
    m_attemptUnderWay = 0;
    if (connected) {
        attemptConnected();
        m_reconnections.fetch_add(1);
        OnSocketConnect(0);
        return;
    }
    if (!IsQuitRequested()) {
        attemptFailed();
    }
    OnSocketConnect(m_socket->GetLastError());
    if (IsQuitRequested()) {
        // Cut short by the stop, or failed as it came: no reason to give up,
        // and the attempt is still owed to the next start.
        ScheduleReconnect(0, attempt);
        return;
    }
    if (shouldGiveUp()) {
        m_gaveUp.store(true);
        m_stateChangedAt.store(Clock::now().time_since_epoch().count());
        return;
    }
    if (m_server.GetReconnect()) {
        ScheduleReconnect(delayFor(attempt + 1), attempt + 1);
    }
}

const std::string& CSocketClientThread::currentHost() const {
    return m_server.GetHostAt(m_endpoint % m_server.GetServerCount());
}

unsigned short CSocketClientThread::currentPort() const {
    return m_server.GetPortAt(m_endpoint % m_server.GetServerCount());
}

bool CSocketClientThread::connectNow() {
    m_socket->SetTls(m_server.GetTls());
    m_socket->SetProxy(m_server.GetProxy());
    if (m_socket->Connect(currentHost(), currentPort(), m_server.GetConnectTimeoutMs()) == 0) {
        attemptFailed();
        return false;
    }
    attemptConnected();
    return true;
}

void CSocketClientThread::attemptFailed() {
    m_lastConnectError.store(m_socket->GetLastError());
    m_connectFailures.fetch_add(1);
    ++m_failuresInARow;
    m_endpoint = (m_endpoint % m_server.GetServerCount() + 1) % m_server.GetServerCount();
}

void CSocketClientThread::attemptConnected() {
    // A failure to set an option leaves a working connection without it.
    if (m_server.KeepAliveOn()) {
        m_socket->SetKeepAlive(m_server.GetKeepAliveIdleS(), m_server.GetKeepAliveIntervalS(),
                               m_server.GetKeepAliveCount());
    }
    if (m_server.GetUnacknowledgedLimitMs() != 0) {
        m_socket->SetUnacknowledgedLimit(m_server.GetUnacknowledgedLimitMs());
    }
    m_failuresInARow = 0;
    // Before the connection counts: whoever sees it counted sees its kind.
    if (m_socket->IsTlsResumed()) {
        m_resumedHandshakes.fetch_add(1);
    }
    m_connectionsMade.fetch_add(1);
    m_tlsVersion.store(m_socket->GetTlsVersion());
    markConnected(true);
}

void CSocketClientThread::markConnected(bool connected) {
    if (!connected) {
        m_tlsVersion.store(0);
    }
    m_connected.store(connected);
    m_stateChangedAt.store(Clock::now().time_since_epoch().count());
}

unsigned int CSocketClientThread::delayFor(int attempt) {
    return m_server.DelayForAttempt(attempt, static_cast<std::uint32_t>(m_random()));
}

bool CSocketClientThread::shouldGiveUp() const {
    const unsigned int attempts = m_server.GetGiveUpAttempts();
    const unsigned int afterMs = m_server.GetGiveUpAfterMs();
    return (attempts != 0 && m_failuresInARow >= attempts) ||
           (afterMs != 0 && Clock::now() - m_outageStart >= std::chrono::milliseconds(afterMs));
}

int CSocketClientThread::SetSocket(CSocket* socket, int takeOwnership, CServerStatus* server) {
    CancelReconnect();
    m_reportConnectAtStart = false;
    m_resumeAtStart = false;
    m_gaveUp.store(false);
    m_endpoint = 0;
    m_failuresInARow = 0;
    m_outageStart = Clock::now();

    if (socket == nullptr && server == nullptr) {
        releaseSocket();
        markConnected(false);
        return 0;
    }

    if (socket == nullptr) {
        m_server = *server;
        SetIdleLimitMs(m_server.GetIdleLimitMs());
        releaseSocket();
        m_ownedSocket = std::make_unique<CSocket>();
        m_socket = m_ownedSocket.get();
        markConnected(false);
        if (connectNow()) {
            m_reportConnectAtStart = true;
            return 1;
        }
        if (m_server.GetReconnect()) {
            ScheduleReconnect(delayFor(1), 1);
        }
        return 0;
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
    if (server == nullptr) {
        // Reconnecting must not drop the encryption of the socket's own connect.
        m_server.SetTls(socket->GetTls());
        if (m_server.SetProxy(socket->GetProxy()) != 0) {
            // Never around a proxy the socket was told to use.
            m_server.SetReconnect(false);
        }
    }
    SetIdleLimitMs(m_server.GetIdleLimitMs());
    if (m_server.GetHost().empty()) {
        m_server.SetServer(socket->GetHost(), socket->GetPort());
    }
    if (m_server.GetHost().empty()) {
        // A descriptor handed over already connected (Attach) has no endpoint
        // to go back to.
        m_server.SetReconnect(false);
    }
    const bool connected = socket->IsConnected();
    m_tlsVersion.store(connected ? socket->GetTlsVersion() : 0);
    markConnected(connected);
    if (connected) {
        if (socket->IsTlsResumed()) {
            m_resumedHandshakes.fetch_add(1);
        }
        m_connectionsMade.fetch_add(1);
        m_reportConnectAtStart = true;
    } else if (m_server.GetReconnect()) {
        ScheduleReconnect(delayFor(1), 1);
    }
    return connected ? 1 : 0;
}

std::uint64_t CSocketClientThread::GetReconnectCount() const {
    return m_reconnections.load();
}

std::chrono::steady_clock::time_point CSocketClientThread::GetStateChangeTime() const {
    return Clock::time_point{Clock::duration{m_stateChangedAt.load()}};
}

void CSocketClientThread::releaseSocket() {
    m_socket = nullptr;
    m_ownedSocket.reset();
}
