#include "client/ConnectionWait.h"

namespace kavra {

bool ConnectionWait::Waited(const SendEntry& entry) const {
    return m_bytes != nullptr && entry.bytes.get() == m_bytes && entry.queuedAt == m_queuedAt;
}

ConnectionWait::Clock::time_point ConnectionWait::BudgetEnd(const SendEntry& entry,
                                                            int timeoutMs) const {
    return Waited(entry) ? m_budgetEnd : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

void ConnectionWait::Wait(const SendEntry& entry, Clock::time_point end) {
    m_bytes = entry.bytes.get();
    m_queuedAt = entry.queuedAt;
    m_budgetEnd = end;
}

void ConnectionWait::Done(bool outlasted) {
    m_bytes = nullptr;
    m_outlasted = m_outlasted || outlasted;
}

std::size_t ConnectionWait::TakeNotifications(bool connected) {
    if (connected) {
        m_outlasted = false;
    }
    const std::size_t taken = m_notifications;
    m_notifications = 0;
    return taken;
}

void ConnectionWait::Clear() {
    m_notifications = 0;
    m_bytes = nullptr;
    m_outlasted = false;
}

} // namespace kavra
