#pragma once

#include <atomic>

namespace kavra {

/**
 * Whether a client keeps its send entries while the connection is down, and
 * a frame whose write failed, to write them once it is back, instead of
 * dropping them. Off by default.
 *
 * Any thread switches it; the worker reads it for each entry it comes to,
 * so a switch applies from the next one on.
 */
class SendHold {
public:
    /// Switches holding on or off. Any thread.
    void Set(bool hold) { m_hold.store(hold, std::memory_order_relaxed); }
    /// Whether entries are held. Any thread.
    bool Get() const { return m_hold.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> m_hold{false};
};

} // namespace kavra
