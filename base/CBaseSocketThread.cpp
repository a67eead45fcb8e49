#include "kavra/base/CBaseSocketThread.h"

#include "base/ThreadCheck.h"
#include "base/os/SocketApi.h"
#include "base/os/WakeUp.h"
#include "kavra/base/CSocket.h"
#include "kavra/base/SemaLock.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace {

// Messages handled per turn before the socket gets its look, so that a
// thread posting without pause cannot starve the connection.
constexpr std::size_t DISPATCH_BATCH = 64;

} // namespace

CBaseSocketThread::CBaseSocketThread()
    : m_ioLock(1, 1, nullptr, nullptr), m_wake(std::make_unique<kavra::WakeUp>()) {
    SetPostHook(&CBaseSocketThread::WakeFromPost, this);
}

CBaseSocketThread::~CBaseSocketThread() {
    // The loop uses m_wake and the handlers of this class; it must be gone
    // before they are.
    Destroy();
}

void CBaseSocketThread::WakeFromPost(void* context) {
    // Called only for the first post that found the loop waiting: never for
    // the loop's own posts, nor for a run of posts while it is busy.
    static_cast<CBaseSocketThread*>(context)->m_wake->Signal();
}

template <typename Handler> void CBaseSocketThread::guarded(Handler&& handler) {
    // A handler that throws (an allocation failure, a bug in a subclass) loses
    // its own piece of work, not the connection's thread.
    try {
        std::forward<Handler>(handler)();
    } catch (...) {
        m_handlerExceptions.fetch_add(1);
    }
}

unsigned long CBaseSocketThread::Run() {
    using Clock = std::chrono::steady_clock;
    std::array<MSG, DISPATCH_BATCH> batch{};
    for (;;) {
        if (!dispatchBatch(batch.data(), batch.size())) {
            return 0;
        }
        checkSocketFailure();

        // Once a stop was asked for, a due attempt stays on the schedule for
        // the stop to hand on (CSocketClientThread::AfterRun).
        if (m_reconnectAttempt > 0 && !IsQuitRequested() && Clock::now() >= m_reconnectDue) {
            const int attempt = m_reconnectAttempt;
            m_reconnectAttempt = 0;
            guarded([this, attempt] { OnSocketReconnect(attempt); });
            checkSocketFailure();
        }

        guarded([this] { OnQuerySocket(); });

        const bool watchSocket =
            m_socket != nullptr && m_socket->IsConnected() && !m_readPaused.load();
        // Input the socket read ahead no longer makes its descriptor
        // readable, and writes it kept through an outage wait for no message:
        // neither may be left to a wait.
        const bool socketWork = m_socket != nullptr && m_socket->HasWorkBeforeWait(watchSocket);
        // A connect under way is one more thing the wait watches, with the
        // time by which it must be looked at again.
        CSocket::ConnectWait setup;
        if (m_socket != nullptr && m_socket->IsConnecting()) {
            setup = m_socket->GetConnectWait();
            WaitNoLaterThan(setup.by);
        }
        int timeoutMs = -1;
        if (socketWork) {
            timeoutMs = 0;
        } else {
            if (m_reconnectAttempt > 0 && !IsQuitRequested()) {
                WaitNoLaterThan(m_reconnectDue);
            }
            if (watchSocket && m_idleLimitMs > 0) {
                WaitNoLaterThan(idleDeadline());
            }
            if (m_waitBy != Clock::time_point::max()) {
                timeoutMs = kavra::os::MsUntil(m_waitBy);
            }
        }
        m_waitBy = Clock::time_point::max();
        // Posts wake the loop only while it announces that it waits; with a
        // message queued it just looks at the socket and goes on.
        const bool waiting = timeoutMs != 0 && BeginWaitForPost();
        if (!waiting) {
            timeoutMs = 0;
        }

        const kavra::os::LoopReady ready =
            watchSocket ? kavra::os::WaitLoop(m_socket->GetHandle(), kavra::os::Direction::Read,
                                              m_wake->Handle(), timeoutMs)
                        : kavra::os::WaitLoop(setup.handle,
                                              setup.write ? kavra::os::Direction::Write
                                                          : kavra::os::Direction::Read,
                                              m_wake->Handle(), timeoutMs);
        if (waiting) {
            EndWaitForPost();
        }
        if (ready.wake) {
            m_wake->Clear();
        }
        if (watchSocket && (ready.socket || socketWork)) {
            handleReadable();
            checkSocketFailure();
        }
        if (watchSocket && m_idleLimitMs > 0 && m_socket->IsConnected() &&
            Clock::now() >= idleDeadline()) {
            // A peer that has been silent too long counts as gone, and goes
            // the way of any dropped connection.
            m_socket->MarkFailed(ETIMEDOUT);
            checkSocketFailure();
        }
    }
}

bool CBaseSocketThread::dispatchBatch(MSG* batch, std::size_t max) {
    // One lock takes the whole batch: posters and the loop meet on the
    // queue once per batch rather than once per message.
    const std::size_t taken = TakeMessages(batch, max);
    // The handlers' writes wait in the socket and leave together when the
    // batch ends, in one system call, so no frame outlives the batch.
    if (m_socket != nullptr) {
        m_socket->Cork();
    }
    bool quit = false;
    for (std::size_t i = 0; i < taken && !quit; ++i) {
        const MSG& msg = batch[i];
        quit = msg.message == WM_QUIT;
        if (!quit) {
            guarded([this, &msg] { DispatchMessageA(&msg); });
            checkSocketFailure();
        }
    }
    if (m_socket != nullptr && m_socket->HasHeldOutput()) {
        const kavra::SemaLock guard(m_ioLock);
        m_socket->Uncork();
    } else if (m_socket != nullptr) {
        // With nothing held, uncorking is no transfer.
        m_socket->Uncork();
    }
    return !quit;
}

std::chrono::steady_clock::time_point CBaseSocketThread::idleDeadline() const {
    // Time spent with reading paused is not the peer's silence.
    const std::chrono::steady_clock::time_point resumed{
        std::chrono::steady_clock::duration{m_readResumedAt.load()}};
    const auto since = std::max(m_socket->GetLastInputTime(), resumed);
    return since + std::chrono::milliseconds(m_idleLimitMs);
}

void CBaseSocketThread::handleReadable() {
    if (m_socket == nullptr || !m_socket->IsConnected()) {
        return;
    }
    // One read serves both the count and the data: the bytes it takes wait
    // read ahead for the handler's reads. A peer's close or a broken
    // connection marks the socket failed; checkSocketFailure reports it once,
    // as OnSocketClose, never as a receive of zero bytes. Readable with
    // nothing to take is a false alarm, and the loop waits again.
    const int readable = m_socket->ReadArrived();
    if (readable > 0) {
        guarded([this, readable] { OnSocketReceive(readable); });
    }
}

void CBaseSocketThread::checkSocketFailure() {
    if (m_socket != nullptr && m_socket->HasFailed()) {
        const int error = m_socket->GetLastError();
        guarded([this, error] { OnSocketClose(error); });
    }
}

long CBaseSocketThread::DispatchMessageA(const MSG* /*msg*/) {
    return 0;
}

void CBaseSocketThread::OnSocketReceive(int /*readable*/) {}

void CBaseSocketThread::OnSocketSend(int /*written*/) {}

void CBaseSocketThread::OnSocketAccept(int /*error*/) {}

void CBaseSocketThread::OnSocketConnect(int /*error*/) {}

void CBaseSocketThread::OnSocketClose(int /*error*/) {
    if (m_socket != nullptr) {
        m_socket->Close();
    }
}

void CBaseSocketThread::OnSocketReconnect(int /*attempt*/) {}

void CBaseSocketThread::OnQuerySocket() {}

int CBaseSocketThread::RecvDataTimeout(char* dst, int n, int timeoutMs) {
    kavra::AssertInThread(*this, __func__);
    if (m_socket == nullptr || !m_socket->IsConnected()) {
        return 0;
    }
    const kavra::SemaLock guard(m_ioLock);
    return m_socket->Receive(dst, n, timeoutMs);
}

int CBaseSocketThread::SendDataTimeout(char* src, int n, int timeoutMs) {
    WriteOutcome outcome{};
    return write(src, n, timeoutMs, outcome);
}

CBaseSocketThread::WriteOutcome CBaseSocketThread::WriteDataTimeout(const char* src, int n,
                                                                    int timeoutMs) {
    WriteOutcome outcome{};
    write(src, n, timeoutMs, outcome);
    return outcome;
}

int CBaseSocketThread::write(const char* src, int n, int timeoutMs, WriteOutcome& outcome) {
    kavra::AssertInThread(*this, __func__);
    if (m_socket == nullptr || !m_socket->IsConnected()) {
        outcome = WriteOutcome::NotConnected;
        return 0;
    }
    const kavra::SemaLock guard(m_ioLock);
    if (m_socket->GetWriteTally() != m_writeTally) {
        m_socket->SetWriteTally(m_writeTally);
    }
    const std::uint64_t heldBefore = m_writeTally->held.load(std::memory_order_relaxed);
    const int written = m_socket->Send(src, n, timeoutMs);
    if (written == n) {
        outcome = m_writeTally->held.load(std::memory_order_relaxed) != heldBefore
                      ? WriteOutcome::Held
                      : WriteOutcome::Written;
    } else if (m_socket->IsConnected() || m_socket->GetLastError() == ETIMEDOUT) {
        outcome = WriteOutcome::TimedOut;
    } else {
        outcome = WriteOutcome::Failed;
    }
    return written;
}

std::uint64_t CBaseSocketThread::GetHandlerExceptionCount() const {
    return m_handlerExceptions.load();
}

void CBaseSocketThread::ScheduleReconnect(unsigned int delayMs, int attempt) {
    kavra::AssertInThread(*this, __func__);
    m_reconnectDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    m_reconnectAttempt = attempt < 1 ? 1 : attempt;
}

void CBaseSocketThread::CancelReconnect() {
    kavra::AssertInThread(*this, __func__);
    m_reconnectAttempt = 0;
}

void CBaseSocketThread::ResumeReading() {
    m_readResumedAt.store(std::chrono::steady_clock::now().time_since_epoch().count());
    if (m_readPaused.exchange(false) && !IsCurrentThread()) {
        m_wake->Signal();
    }
}

void CBaseSocketThread::WaitNoLaterThan(std::chrono::steady_clock::time_point by) {
    kavra::AssertInThread(*this, __func__);
    m_waitBy = std::min(m_waitBy, by);
}

void CBaseSocketThread::SetIdleLimitMs(unsigned int ms) {
    kavra::AssertInThread(*this, __func__);
    m_idleLimitMs = ms;
}
