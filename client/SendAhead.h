#pragma once

#include "base/ThreadCheck.h"
#include "kavra/SendEntry.h"

#include <atomic>
#include <cstddef>
#include <deque>
#include <utility>

namespace kavra {

/**
 * Send entries the worker took off the shared send queue before their turn.
 *
 * Every PDU an application thread queues and every entry the worker takes
 * meet at the send queue's lock; taking entries one at a time made the
 * worker meet the senders there once per PDU. The worker now moves up to
 * BATCH of them here under one hold of the lock, and the next takes find
 * them without it.
 *
 * For everything a caller sees they are still queued: the entry count
 * (GetSendQueueLength, the entry limit) adds Count(), the byte count keeps
 * them until each is taken, an entry put back goes in front of them, and a
 * stop releases them with the rest.
 *
 *   shared queue (lock):    [ newest ... ]  <- SendPdu
 *   ahead (worker only):    [ ... oldest ]  -> TakeSendEntry
 *
 * Worker thread only; Count() from any thread.
 */
class SendAhead {
public:
    /// The most entries one hold of the send queue's lock moves here.
    static constexpr std::size_t BATCH = 32;

    explicit SendAhead(const CBaseThread& worker) : m_worker(worker) {}

    bool Empty() const { return m_entries.empty(); }
    /// Entries held here; a snapshot. Any thread.
    std::size_t Count() const { return m_count.load(std::memory_order_relaxed); }

    /// An entry from the shared queue, behind the ones held.
    void PushBack(SendEntry entry) {
        AssertInThread(m_worker, "SendAhead::PushBack");
        m_entries.push_back(std::move(entry));
        m_count.fetch_add(1, std::memory_order_relaxed);
    }
    /// An entry put back: it goes first.
    void PushFront(SendEntry entry) {
        AssertInThread(m_worker, "SendAhead::PushFront");
        m_entries.push_front(std::move(entry));
        m_count.fetch_add(1, std::memory_order_relaxed);
    }
    /// The oldest entry; the caller owns it. Not when Empty().
    SendEntry PopFront() {
        AssertInThread(m_worker, "SendAhead::PopFront");
        SendEntry entry = std::move(m_entries.front());
        m_entries.pop_front();
        m_count.fetch_sub(1, std::memory_order_relaxed);
        return entry;
    }
    /// Releases every entry held; returns how many there were.
    std::size_t Clear() {
        AssertInThread(m_worker, "SendAhead::Clear");
        const std::size_t released = m_entries.size();
        m_entries.clear();
        m_count.store(0, std::memory_order_relaxed);
        return released;
    }

private:
    const CBaseThread& m_worker;
    std::deque<SendEntry> m_entries;
    std::atomic<std::size_t> m_count{0};
};

} // namespace kavra
