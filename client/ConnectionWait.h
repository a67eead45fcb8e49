#pragma once

#include "base/ThreadCheck.h"
#include "kavra/SendEntry.h"

#include <chrono>
#include <cstddef>
#include <optional>

class CBaseThread;

namespace kavra {

/**
 * The send entries that wait for the connection, for the client's worker.
 *
 * An entry that finds the connection down waits in the send queue, never in
 * the send handler: the worker puts it back first in line and goes on, and
 * the loop makes the reconnection attempt. Each notification that came to
 * the waiting entry is counted here and posted again after the attempt, so
 * the entries meet the worker again, in order.
 *
 * Without hold, an entry waits only for an attempt under way or due before
 * its write budget ends: the budget (the write timeout) starts when the
 * worker first comes to it, and the wait, the attempt and the write share
 * it. When it ends the entry meets the worker again (WaitingUntil tells the
 * loop when) and is dropped, whatever the attempt does. Only the first
 * entry in line waits (the others come to the worker after it), so one
 * budget is kept here, recognised by the entry's bytes and queueing time.
 * Once an entry's budget ran out with the connection still down, the outage
 * is no longer brief: the entries after it do not wait until the connection
 * is back.
 *
 * Worker thread only (checked).
 */
class ConnectionWait {
public:
    using Clock = std::chrono::steady_clock;

    /// worker: the client thread whose entries wait here.
    explicit ConnectionWait(const CBaseThread& worker) : m_worker(worker) {}

    /// When entry's budget ends: where it began when entry first waited, or
    /// timeoutMs from now for an entry the worker comes to afresh.
    Clock::time_point BudgetEnd(const SendEntry& entry, int timeoutMs) const;
    /// When the budget of the entry that waits unnotified ends; nothing when
    /// none does.
    std::optional<Clock::time_point> WaitingUntil() const;
    /// True when entry waited for an attempt before (its budget is running).
    /// Asked for every entry written, so it stays in line.
    bool Waited(const SendEntry& entry) const {
        AssertInThread(m_worker, "ConnectionWait::Waited");
        return m_bytes != nullptr && entry.bytes.get() == m_bytes && entry.queuedAt == m_queuedAt;
    }
    /// entry waits for an attempt; its budget ends at end.
    void Wait(const SendEntry& entry, Clock::time_point end);
    /// The entry the worker came to is written or dropped. outlasted: it had
    /// waited, and its budget ran out with the connection still down. Called
    /// for every entry written, so it stays in line.
    void Done(bool outlasted) {
        AssertInThread(m_worker, "ConnectionWait::Done");
        m_bytes = nullptr;
        m_outlasted = m_outlasted || outlasted;
    }
    /// Whether entries are to drop rather than wait (see above).
    bool OutageOutlasted() const;

    /// One more notification came to a waiting entry.
    void CountNotification();
    /// The connection came back or an attempt failed: the notifications to
    /// post again, and none is counted any more. After a success the entries
    /// wait again only after a later drop.
    std::size_t TakeNotifications(bool connected);
    /// The worker stopped: nothing waits any more.
    void Clear();

private:
    const CBaseThread& m_worker;
    std::size_t m_notifications = 0;
    // The waiting entry and the end of its budget; no entry when null.
    const unsigned char* m_bytes = nullptr;
    Clock::time_point m_queuedAt{};
    Clock::time_point m_budgetEnd{};
    bool m_outlasted = false;
};

} // namespace kavra
