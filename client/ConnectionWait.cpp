#include "client/ConnectionWait.h"

#include "base/ThreadCheck.h"

namespace kavra {

ConnectionWait::Clock::time_point ConnectionWait::BudgetEnd(const SendEntry& entry,
                                                            int timeoutMs) const {
    AssertInThread(m_worker, "ConnectionWait::BudgetEnd");
    return Waited(entry) ? m_budgetEnd : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

void ConnectionWait::Wait(const SendEntry& entry, Clock::time_point end) {
    AssertInThread(m_worker, "ConnectionWait::Wait");
    m_bytes = entry.bytes.get();
    m_queuedAt = entry.queuedAt;
    m_budgetEnd = end;
}

std::optional<ConnectionWait::Clock::time_point> ConnectionWait::WaitingUntil() const {
    AssertInThread(m_worker, "ConnectionWait::WaitingUntil");
    if (m_bytes == nullptr || m_notifications == 0) {
        return std::nullopt;
    }
    return m_budgetEnd;
}

bool ConnectionWait::OutageOutlasted() const {
    AssertInThread(m_worker, "ConnectionWait::OutageOutlasted");
    return m_outlasted;
}

void ConnectionWait::CountNotification() {
    AssertInThread(m_worker, "ConnectionWait::CountNotification");
    ++m_notifications;
}

std::size_t ConnectionWait::TakeNotifications(bool connected) {
    AssertInThread(m_worker, "ConnectionWait::TakeNotifications");
    if (connected) {
        m_outlasted = false;
    }
    const std::size_t taken = m_notifications;
    m_notifications = 0;
    return taken;
}

void ConnectionWait::Clear() {
    AssertInThread(m_worker, "ConnectionWait::Clear");
    m_notifications = 0;
    m_bytes = nullptr;
    m_outlasted = false;
}

} // namespace kavra
