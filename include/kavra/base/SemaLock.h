// Holds a CSema taken as a lock (initial and maximum count 1) for one scope:
// taken with no time limit on construction, given back on destruction.
#pragma once

#include "kavra/base/CSema.h"

namespace kavra {

class SemaLock {
public:
    explicit SemaLock(CSema& sema) : m_sema(sema) { m_sema.Lock(CSema::INFINITE_TIMEOUT); }
    ~SemaLock() { m_sema.Unlock(1, nullptr); }
    SemaLock(const SemaLock&) = delete;
    SemaLock& operator=(const SemaLock&) = delete;

private:
    CSema& m_sema;
};

} // namespace kavra
