#include "kavra/base/CSema.h"

#include <chrono>

CSema::CSema(long initialCount, long maximumCount, const char* /*name*/,
             SECURITY_ATTRIBUTES* /*attributes*/)
    : m_count(0), m_maximum(maximumCount < 1 ? 1 : maximumCount) {
    if (initialCount > m_maximum) {
        m_count = m_maximum;
    } else if (initialCount > 0) {
        m_count = initialCount;
    }
}

CSema::~CSema() = default;

int CSema::Lock(unsigned long timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_count > 0) {
        --m_count;
        return 1;
    }
    if (timeoutMs == 0) {
        return 0;
    }

    const auto available = [this] { return m_count > 0; };
    ++m_waiters;
    bool taken = true;
    if (timeoutMs == INFINITE_TIMEOUT) {
        m_available.wait(lock, available);
    } else {
        // A fixed deadline keeps spurious wake-ups from stretching the wait.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        taken = m_available.wait_until(lock, deadline, available);
    }
    --m_waiters;
    if (!taken) {
        return 0;
    }
    --m_count;
    return 1;
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
