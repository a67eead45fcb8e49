#include "kavra_msvc/CSema.h"

#include "../runtime/Crt.h"

namespace {
const unsigned long kWaitObject0 = 0;
}

// A semaphore the system refuses leaves the handle null: every take and
// give-back then fails, which the callers treat as "not taken".
CSema::CSema(long initialCount, long maximumCount, const char* name,
             SECURITY_ATTRIBUTES* attributes)
    : m_handle(CreateSemaphoreA(attributes, initialCount, maximumCount, name)) {}

CSema::~CSema() {
    if (m_handle != nullptr) {
        CloseHandle(m_handle);
    }
}

int CSema::Lock(unsigned long timeoutMs) {
    return m_handle != nullptr && WaitForSingleObject(m_handle, timeoutMs) == kWaitObject0 ? 1 : 0;
}

int CSema::Unlock(long count, long* previous) {
    return m_handle != nullptr && ReleaseSemaphore(m_handle, count, previous) != 0 ? 1 : 0;
}

int CSema::Enter(unsigned long timeoutMs) {
    return Lock(timeoutMs);
}

int CSema::Leave(long count, long* previous) {
    return Unlock(count, previous);
}
