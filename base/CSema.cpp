#include "kavra/base/CSema.h"

#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// A unit given back within this time is taken without sleeping: going to
// sleep and being woken costs both threads a system call and a trip through
// the scheduler, several times what a hand-off between busy threads costs.
constexpr auto SPIN_TIME = std::chrono::microseconds(40);
// The first rounds only pause the core; later ones yield it, so that on a
// single CPU the thread that will give the unit back gets to run.
constexpr int PAUSE_ROUNDS = 64;

void pauseCore() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

} // namespace

CSema::CSema(long initialCount, long maximumCount, const char* /*name*/,
             SECURITY_ATTRIBUTES* /*attributes*/)
    : m_count(0), m_countHint(0), m_maximum(maximumCount < 1 ? 1 : maximumCount) {
    if (initialCount > m_maximum) {
        m_count = m_maximum;
    } else if (initialCount > 0) {
        m_count = initialCount;
    }
    m_countHint.store(m_count, std::memory_order_relaxed);
}

CSema::~CSema() = default;

// Caller holds m_mutex.
bool CSema::takeUnderLock() {
    if (m_count <= 0) {
        return false;
    }
    --m_count;
    m_countHint.store(m_count, std::memory_order_relaxed);
    return true;
}

bool CSema::spinForUnit(Clock::time_point deadline, bool bounded) {
    const auto spinEnd = Clock::now() + SPIN_TIME;
    for (int round = 0;; ++round) {
        if (m_countHint.load(std::memory_order_relaxed) > 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (takeUnderLock()) {
                return true;
            }
        }
        if (round < PAUSE_ROUNDS) {
            pauseCore();
            continue;
        }
        const auto now = Clock::now();
        if (now >= spinEnd || (bounded && now >= deadline)) {
            return false;
        }
        std::this_thread::yield();
    }
}

int CSema::Lock(unsigned long timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (takeUnderLock()) {
            return 1;
        }
    }
    if (timeoutMs == 0) {
        return 0;
    }
    // A fixed deadline keeps spinning and spurious wake-ups from stretching
    // the wait.
    const bool bounded = timeoutMs != INFINITE_TIMEOUT;
    const auto deadline =
        bounded ? Clock::now() + std::chrono::milliseconds(timeoutMs) : Clock::time_point::max();
    if (spinForUnit(deadline, bounded)) {
        return 1;
    }

    std::unique_lock<std::mutex> lock(m_mutex);
    const auto available = [this] { return m_count > 0; };
    ++m_waiters;
    bool taken = true;
    if (!bounded) {
        m_available.wait(lock, available);
    } else {
        taken = m_available.wait_until(lock, deadline, available);
    }
    --m_waiters;
    return taken && takeUnderLock() ? 1 : 0;
}

int CSema::Unlock(long count, long* previous) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (previous != nullptr) {
        *previous = m_count;
    }
    // Written as a difference so that a huge count cannot overflow the sum.
    if (count < 1 || count > m_maximum - m_count) {
        return 0;
    }
    m_count += count;
    m_countHint.store(m_count, std::memory_order_relaxed);
    // Notifying under the lock means a woken waiter cannot return from Lock,
    // and perhaps destroy the semaphore, before this call is done with it.
    if (m_waiters > 0) {
        if (count == 1) {
            m_available.notify_one();
        } else {
            m_available.notify_all();
        }
    }
    return 1;
}

int CSema::Enter(unsigned long timeoutMs) {
    return Lock(timeoutMs);
}

int CSema::Leave(long count, long* previous) {
    return Unlock(count, previous);
}

long CSema::GetCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

long CSema::GetMaximum() const {
    return m_maximum;
}
