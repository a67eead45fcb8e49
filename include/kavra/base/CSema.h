#pragma once

#include "kavra/Export.h"
#include "kavra/base/CBaseObj.h"
#include "kavra/base/WinTypes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

/// Counting semaphore with an initial and a maximum count.
///
/// Lock/Enter take one unit, waiting at most the given milliseconds:
/// 0 tries without waiting, INFINITE_TIMEOUT (0xFFFFFFFF) waits without limit.
/// Unlock/Leave give units back; a give-back that would raise the count above
/// the maximum fails and leaves the count as it was, so a semaphore at its
/// maximum stays there. Lock and Enter (and Unlock and Leave) are the same
/// operation under two names.
///
/// All operations: any thread.
class KAVRA_API CSema : public CBaseObj {
public:
    /// A timeout that waits without limit.
    static constexpr unsigned long INFINITE_TIMEOUT = 0xFFFFFFFFUL;

    /// The name is accepted for source compatibility; semaphores are local to
    /// the process. A maximum below 1 is taken as 1, one above 0x7FFFFFFF as
    /// 0x7FFFFFFF, and the initial count is clamped into [0, maximum].
    CSema(long initialCount, long maximumCount, const char* name = nullptr,
          SECURITY_ATTRIBUTES* attributes = nullptr);
    CSema(const CSema&) = delete;
    CSema& operator=(const CSema&) = delete;
    ~CSema() override;

    /// Nonzero when a unit was taken, 0 on timeout.
    int Lock(unsigned long timeoutMs = INFINITE_TIMEOUT);
    /// Nonzero on success. previous, when not null, receives the count before
    /// the call (also on failure). count must be at least 1.
    int Unlock(long count = 1, long* previous = nullptr);
    /// The same as Lock.
    int Enter(unsigned long timeoutMs = INFINITE_TIMEOUT);
    /// The same as Unlock.
    int Leave(long count = 1, long* previous = nullptr);

    /// The current count; a snapshot that may change at once.
    long GetCount() const;
    /// The maximum count, as clamped by the constructor.
    long GetMaximum() const;

private:
    // Takes a unit if one is free, without waiting and without the mutex.
    bool tryTake();
    // Lock once no unit was free at the first look: spins, then sleeps.
    int lockSlowly(unsigned long timeoutMs);
    // Waits briefly, without sleeping, for a unit to come back; true when
    // one was taken. A thread that may run on one processor only yields
    // instead of spinning, and stops as soon as nobody else wants to run.
    bool spinForUnit(std::chrono::steady_clock::time_point deadline, bool bounded);
    // Sleeps until a unit is taken or the deadline passes.
    bool sleepForUnit(std::chrono::steady_clock::time_point deadline, bool bounded);
    // Unlock when a sleeper must be woken: under the mutex.
    int unlockWaking(long count, long* previous);

    // The count in the low 31 bits and, in the top bit, whether any thread
    // sleeps in Lock. One 32-bit word (cheap also where 8-byte atomics are
    // not), so that a give-back learns from the same atomic exchange whether
    // anyone sleeps: an uncontended Lock or Unlock is a single
    // compare-and-swap, and only a give-back that finds a sleeper takes the
    // mutex. The flag is set and cleared under the mutex, which also keeps
    // the number of sleepers; it is down while every sleeper has been woken
    // and none has gone back to sleep, so that a run of give-backs to one
    // sleeper wakes it once.
    std::atomic<std::uint32_t> m_state;
    long m_maximum;
    int m_sleepers = 0;
    std::mutex m_mutex;
    std::condition_variable m_available;
};
