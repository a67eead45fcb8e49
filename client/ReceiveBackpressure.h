#pragma once

#include "kavra/ReceiveOverflow.h"

#include <atomic>
#include <cstddef>

namespace kavra {

/**
 * The receive queue's fill level and what a full queue does to reading.
 *
 * With ReceiveOverflow::Drop (the default) a frame that arrives while
 * `capacity` PDUs wait is read and dropped. With Block the worker stops
 * reading at `capacity` and goes on once consumers have brought the queue
 * down to half of it: resuming for every PDU taken would wake the worker to
 * read a single frame each time, half the queue's worth of room lets it read
 * a run of them per wake-up.
 *
 * The length is kept here by whoever changes the queue, under its lock, and
 * read without it: the worker asks once per frame, and taking the consumers'
 * lock for that would make the threads fight over it. Only the worker
 * appends, so the value it reads can only be too high, never too low. Any
 * thread sets and reads the policy.
 */
class ReceiveBackpressure {
public:
    explicit ReceiveBackpressure(std::size_t capacity) : m_capacity(capacity) {}

    /// Sets the policy for a full queue. Any thread.
    void SetPolicy(ReceiveOverflow policy) { m_policy.store(policy, std::memory_order_relaxed); }
    /// The policy for a full queue. Any thread.
    ReceiveOverflow Policy() const { return m_policy.load(std::memory_order_relaxed); }

    /// The queue now holds length PDUs. Under the receive queue's lock.
    void SetLength(std::size_t length) { m_length.store(length); }
    /// The queue's length, without its lock. Any thread.
    std::size_t Length() const { return m_length.load(std::memory_order_relaxed); }
    /// Whether the queue holds capacity PDUs or more. Any thread.
    bool Full() const { return Length() >= m_capacity; }
    /// PDUs the queue takes before it is full. Any thread.
    std::size_t Room() const {
        const std::size_t length = Length();
        return length >= m_capacity ? 0 : m_capacity - length;
    }

    /// Whether the worker is to stop reading before the next frame: Block
    /// and a full queue. Worker thread.
    bool PausesReading() const { return Policy() == ReceiveOverflow::Block && Full(); }
    /// After the worker marked its reading paused: whether the queue is still
    /// full. A consumer that took a PDU before the pause was visible did not
    /// resume reading; both sides write their own flag and then read the
    /// other's in sequentially consistent order, so at least one of them
    /// sees the other. Worker thread.
    bool StillFullAfterPause() const { return m_length.load() >= m_capacity; }
    /// After a consumer took a PDU: whether a paused worker may read again.
    /// Any thread.
    bool ResumesReading() const { return m_length.load() <= m_capacity / 2; }

private:
    const std::size_t m_capacity;
    std::atomic<ReceiveOverflow> m_policy{ReceiveOverflow::Drop};
    std::atomic<std::size_t> m_length{0};
};

} // namespace kavra
