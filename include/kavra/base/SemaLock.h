#pragma once

#include "kavra/base/CSema.h"

namespace kavra {

/// Holds a CSema taken as a lock (initial and maximum count 1) for one scope:
/// taken with no time limit on construction, given back on destruction.
class SemaLock {
public:
    /// Takes sema with no time limit.
    explicit SemaLock(CSema& sema) : m_sema(sema) { m_sema.Lock(CSema::INFINITE_TIMEOUT); }
    ~SemaLock() { m_sema.Unlock(1, nullptr); }
    SemaLock(const SemaLock&) = delete;
    SemaLock& operator=(const SemaLock&) = delete;

private:
    CSema& m_sema;
};

} // namespace kavra
