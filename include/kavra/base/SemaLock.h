#pragma once

#include "kavra/base/CSema.h"

namespace kavra {

/// Holds a CSema taken as a lock (initial and maximum count 1) for one scope:
/// taken with no time limit on construction, given back on destruction when
/// it was taken. Every lock of the library is held through one of these, so
/// that no early return or exception can leave a unit out.
class SemaLock {
public:
    /// Takes sema with no time limit.
    explicit SemaLock(CSema& sema) : m_sema(sema), m_held(sema.Lock(CSema::INFINITE_TIMEOUT) != 0) {}
    ~SemaLock() {
        if (m_held) {
            m_sema.Unlock(1, nullptr);
        }
    }
    SemaLock(const SemaLock&) = delete;
    SemaLock& operator=(const SemaLock&) = delete;

    /// False when the semaphore refused the unit; the scope then holds nothing
    /// and must not touch what the lock guards.
    explicit operator bool() const { return m_held; }

private:
    CSema& m_sema;
    bool m_held;
};

} // namespace kavra
