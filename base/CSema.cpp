#include "kavra/base/CSema.h"

#include "base/os/Cpu.h"

#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t SLEEPERS_FLAG = 0x80000000U;
constexpr std::uint32_t COUNT_MASK = 0x7FFFFFFFU;
constexpr long LARGEST_MAXIMUM = 0x7FFFFFFFL;

// A unit given back within this time is taken without sleeping: going to
// sleep and being woken costs both threads a system call and a trip through
// the scheduler, several times what a hand-off between busy threads costs.
constexpr auto SPIN_TIME = std::chrono::microseconds(40);
// The first rounds only pause the core; later ones yield it, so that on a
// single CPU the thread that will give the unit back gets to run.
constexpr int PAUSE_ROUNDS = 64;
// How long a thread trusts its last look at its processor affinity.
constexpr auto AFFINITY_RECHECK = std::chrono::seconds(1);
// A yield that returns sooner than this did not switch to another thread.
constexpr auto YIELD_RAN_NOBODY = std::chrono::microseconds(3);

void pauseCore() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

long countOf(std::uint32_t state) {
    return static_cast<long>(state & COUNT_MASK);
}

bool hasSleepers(std::uint32_t state) {
    return (state & SLEEPERS_FLAG) != 0;
}

// Spinning pays only while another processor can run the thread that gives
// the unit back. A thread that may run on one processor alone (pinned, or in
// a process limited to one) would burn the time slice that thread needs: it
// only yields, which lets that thread run at the cost of one switch, and
// sleeps as soon as a yield finds nobody else to run.
bool maySpin(Clock::time_point now) {
    thread_local int cpus = 0;
    thread_local Clock::time_point checkedAt{};
    if (cpus == 0 || now - checkedAt >= AFFINITY_RECHECK) {
        cpus = kavra::os::UsableCpuCount();
        checkedAt = now;
    }
    return cpus > 1;
}

} // namespace

CSema::CSema(long initialCount, long maximumCount, const char* /*name*/,
             SECURITY_ATTRIBUTES* /*attributes*/)
    : m_state(0),
      m_maximum(maximumCount < 1
                    ? 1
                    : (maximumCount > LARGEST_MAXIMUM ? LARGEST_MAXIMUM : maximumCount)) {
    long count = 0;
    if (initialCount > m_maximum) {
        count = m_maximum;
    } else if (initialCount > 0) {
        count = initialCount;
    }
    m_state.store(static_cast<std::uint32_t>(count), std::memory_order_relaxed);
}

CSema::~CSema() = default;

bool CSema::tryTake() {
    std::uint32_t state = m_state.load(std::memory_order_relaxed);
    while (countOf(state) > 0) {
        if (m_state.compare_exchange_weak(state, state - 1, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

bool CSema::spinForUnit(Clock::time_point deadline, bool bounded) {
    const auto start = Clock::now();
    const bool alone = !maySpin(start);
    const auto spinEnd = start + SPIN_TIME;
    for (int round = 0;; ++round) {
        if (tryTake()) {
            return true;
        }
        // Pausing only waits for another processor; alone, it is time the
        // thread that gives the unit back would have used.
        if (!alone && round < PAUSE_ROUNDS) {
            pauseCore();
            continue;
        }
        const auto before = Clock::now();
        if (before >= spinEnd || (bounded && before >= deadline)) {
            return false;
        }
        std::this_thread::yield();
        // Alone, a yield that comes straight back ran nobody: the unit can
        // only come from a thread that is itself asleep, so sleep too rather
        // than spin through its wake-up.
        if (alone && Clock::now() - before < YIELD_RAN_NOBODY) {
            return tryTake();
        }
    }
}

int CSema::Lock(unsigned long timeoutMs) {
    return tryTake() ? 1 : lockSlowly(timeoutMs);
}

// Kept out of Lock, so that a unit taken at the first look costs a
// compare-and-swap and no more: none of the registers and the stack frame
// that the wait needs are set up for it.
[[gnu::noinline]] int CSema::lockSlowly(unsigned long timeoutMs) {
    if (timeoutMs == 0) {
        return 0;
    }
    // A fixed deadline keeps spinning and spurious wake-ups from stretching
    // the wait.
    const bool bounded = timeoutMs != INFINITE_TIMEOUT;
    const auto deadline =
        bounded ? Clock::now() + std::chrono::milliseconds(timeoutMs) : Clock::time_point::max();
    if (spinForUnit(deadline, bounded) || sleepForUnit(deadline, bounded)) {
        return 1;
    }
    return 0;
}

bool CSema::sleepForUnit(Clock::time_point deadline, bool bounded) {
    // The flag goes up before the count is looked at, by an exchange on the
    // same word as every give-back's: a give-back either comes first and is
    // seen by that look, or sees the flag and wakes the sleepers under the
    // mutex, which a sleeper holds until it waits. A give-back that woke
    // every sleeper lowers the flag, so each sleeper raises it again before
    // each wait.
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_sleepers;
    bool taken = false;
    for (;;) {
        m_state.fetch_or(SLEEPERS_FLAG, std::memory_order_relaxed);
        if (tryTake()) {
            taken = true;
            break;
        }
        if (!bounded) {
            m_available.wait(lock);
        } else if (m_available.wait_until(lock, deadline) == std::cv_status::timeout) {
            taken = tryTake();
            break;
        }
    }
    if (--m_sleepers == 0) {
        m_state.fetch_and(COUNT_MASK, std::memory_order_relaxed);
    }
    return taken;
}

int CSema::Unlock(long count, long* previous) {
    std::uint32_t state = m_state.load(std::memory_order_relaxed);
    for (;;) {
        const long current = countOf(state);
        if (previous != nullptr) {
            *previous = current;
        }
        // Written as a difference so that a huge count cannot overflow the sum.
        if (count < 1 || count > m_maximum - current) {
            return 0;
        }
        if (hasSleepers(state)) {
            return unlockWaking(count, previous);
        }
        if (m_state.compare_exchange_weak(state, state + static_cast<std::uint32_t>(count),
                                          std::memory_order_release, std::memory_order_relaxed)) {
            return 1;
        }
    }
}

[[gnu::noinline]] int CSema::unlockWaking(long count, long* previous) {
    // Under the mutex the sleepers cannot change, and notifying under it
    // means a woken sleeper cannot return from Lock, and perhaps destroy the
    // semaphore, before this call is done with it.
    std::lock_guard<std::mutex> lock(m_mutex);
    std::uint32_t state = m_state.load(std::memory_order_relaxed);
    for (;;) {
        const long current = countOf(state);
        if (previous != nullptr) {
            *previous = current;
        }
        if (count > m_maximum - current) {
            return 0;
        }
        if (m_state.compare_exchange_weak(state, state + static_cast<std::uint32_t>(count),
                                          std::memory_order_release, std::memory_order_relaxed)) {
            break;
        }
    }
    if (count >= m_sleepers) {
        // Every sleeper is woken now, or was woken before and has yet to
        // run: the give-backs until one sleeps again need wake nobody, and
        // take the mutex-free path.
        m_state.fetch_and(COUNT_MASK, std::memory_order_relaxed);
    }
    if (count == 1) {
        m_available.notify_one();
    } else {
        m_available.notify_all();
    }
    return 1;
}

int CSema::Enter(unsigned long timeoutMs) {
    return tryTake() ? 1 : lockSlowly(timeoutMs);
}

int CSema::Leave(long count, long* previous) {
    return Unlock(count, previous);
}

long CSema::GetCount() const {
    return countOf(m_state.load(std::memory_order_acquire));
}

long CSema::GetMaximum() const {
    return m_maximum;
}
