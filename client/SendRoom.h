#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace kavra {

/**
 * The bytes a client's send queue holds, their limit, and the wait of
 * senders for room.
 *
 * The byte count changes by atomic steps: SendPdu adds under the send
 * queue's lock, so that its look at the limit and its addition are one; the
 * worker takes bytes away without it as it takes entries, which only makes
 * room. It is read without the lock.
 *
 * The limit is kept as the entry limit is: 0 (the default) for none; with n,
 * a PDU is refused while the bytes queued and its own would exceed n, unless
 * nothing is queued (so a single PDU larger than n still goes, and the queue
 * never holds more than n bytes or one PDU).
 *
 * A sender that waits for room sleeps on a condition that Notify() wakes:
 * the worker calls it after taking an entry, a stop and a limit change call
 * it too. Notify costs one atomic load while nobody waits.
 */
class SendRoom {
public:
    using Clock = std::chrono::steady_clock;

    /// Sets the byte limit; 0 for none. Any thread.
    void SetByteLimit(std::size_t maxBytes) {
        m_limit.store(maxBytes, std::memory_order_relaxed);
        Notify();
    }
    /// The byte limit; 0 for none. Any thread.
    std::size_t ByteLimit() const { return m_limit.load(std::memory_order_relaxed); }

    ///@{
    /// The queue gained, lost or dropped bytes. Add and Reset under the send
    /// queue's lock, or on the worker for an entry put back; Remove on the
    /// worker.
    void Add(std::size_t bytes) { m_bytes.fetch_add(bytes); }
    void Remove(std::size_t bytes) { m_bytes.fetch_sub(bytes); }
    void Reset() { m_bytes.store(0); }
    ///@}
    /// Bytes queued now. Any thread.
    std::size_t Bytes() const { return m_bytes.load(); }
    /// Whether a PDU of size bytes is refused for the byte limit. Any thread.
    bool Reached(std::size_t size) const {
        const std::size_t limit = ByteLimit();
        const std::size_t queued = Bytes();
        return limit != 0 && queued != 0 && queued + size > limit;
    }

    /// Waits until ready() (called with the wait's own lock held, may take
    /// the send queue's lock) or the deadline (none when forever); returns
    /// the last ready(). Any thread but the worker, which makes the room.
    template <typename Ready>
    bool WaitUntil(const Ready& ready, bool forever, Clock::time_point deadline) {
        std::unique_lock lock(m_mutex);
        m_waiters.fetch_add(1);
        bool result = false;
        if (forever) {
            m_changed.wait(lock, ready);
            result = true;
        } else {
            result = m_changed.wait_until(lock, deadline, ready);
        }
        m_waiters.fetch_sub(1);
        return result;
    }

    /// Room may have been made, or a stop asked for. Any thread, without the
    /// send queue's lock.
    void Notify() {
        // A waiter counts itself before it looks at the queue, under
        // m_mutex: either it sees the change, or this load sees it and the
        // lock below waits until it sleeps.
        if (m_waiters.load() == 0) {
            return;
        }
        { const std::lock_guard lock(m_mutex); }
        m_changed.notify_all();
    }

private:
    std::atomic<std::size_t> m_limit{0};
    std::atomic<std::size_t> m_bytes{0};
    std::atomic<int> m_waiters{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
};

} // namespace kavra
