#pragma once

#include <atomic>
#include <cstddef>

namespace kavra {

/**
 * The high-water mark of a client's send queue: 0 (the default) leaves the
 * queue unbounded; with n, SendPdu refuses a PDU while n entries wait.
 *
 * Any thread sets and reads it; a change applies to the next SendPdu.
 */
class SendQueueLimit {
public:
    /// Sets the limit; 0 for none. Any thread.
    void Set(std::size_t maxEntries) { m_limit.store(maxEntries, std::memory_order_relaxed); }
    /// The limit; 0 for none. Any thread.
    std::size_t Get() const { return m_limit.load(std::memory_order_relaxed); }
    /// True when a limit is set and the queue's length() reaches it; length
    /// is asked only then, so that an unbounded queue costs no look at it.
    /// Any thread.
    template <typename Length> bool Reached(const Length& length) const {
        const std::size_t limit = Get();
        return limit != 0 && length() >= limit;
    }

private:
    std::atomic<std::size_t> m_limit{0};
};

} // namespace kavra
