#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kavra {

/**
 * How long a stop may keep writing the send entries still queued, for the
 * whole stop, and the timeout each socket read or write gets meanwhile.
 *
 * Any thread sets the linger (it applies to the next stop) and starts a stop
 * (Start, before the thread's quit flag is raised); the worker asks
 * IoTimeoutMs, which reads the stop's deadline only once it has seen that
 * flag.
 */
class Linger {
public:
    using Clock = std::chrono::steady_clock;

    /// ioTimeoutMs: the timeout of every read and write outside a stop, and
    /// the default linger.
    explicit Linger(int ioTimeoutMs);

    /// Sets the linger in ms; 0 drops the queued entries at once. Any thread.
    void Set(unsigned int ms) { m_ms.store(ms, std::memory_order_relaxed); }
    /// The linger in ms. Any thread.
    unsigned int Get() const { return m_ms.load(std::memory_order_relaxed); }
    /// A stop begins now: its linger runs out at now + Get(). Any thread,
    /// before the quit flag that the worker looks at is raised.
    void Start();
    /// Timeout for the next socket read or write: the I/O timeout, or during
    /// a stop what is left of the linger (0 once it ran out). Worker thread.
    int IoTimeoutMs(bool stopping) const { return stopping ? lingerLeftMs() : m_ioTimeoutMs; }

private:
    // What is left of the current stop's linger, in ms, at most the I/O
    // timeout.
    int lingerLeftMs() const;

    const int m_ioTimeoutMs;
    std::atomic<unsigned int> m_ms;
    // When the current stop's linger runs out, in steady-clock ticks.
    std::atomic<std::int64_t> m_deadline{0};
};

} // namespace kavra
