#pragma once

#include <atomic>
#include <chrono>

namespace kavra {

/**
 * How old a send entry may be when the worker comes to write it: older ones
 * are dropped, for PDUs that are worse late than never. 0 (the default) sets
 * no limit.
 *
 * Any thread sets and reads it; the worker asks Expired.
 */
class MaxAge {
public:
    using Clock = std::chrono::steady_clock;

    /// Sets the age in ms; 0 for no limit. Any thread.
    void Set(unsigned int ms) { m_ms.store(ms, std::memory_order_relaxed); }
    /// The age in ms; 0 for no limit. Any thread.
    unsigned int Get() const { return m_ms.load(std::memory_order_relaxed); }
    /// True when a limit is set and an entry queued at queuedAt is past it
    /// now. Any thread.
    bool Expired(Clock::time_point queuedAt) const {
        const unsigned int ms = Get();
        return ms != 0 && Clock::now() - queuedAt > std::chrono::milliseconds(ms);
    }

private:
    std::atomic<unsigned int> m_ms{0};
};

} // namespace kavra
