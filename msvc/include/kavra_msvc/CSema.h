// A counting semaphore of the system. Lock/Enter take a unit (timeouts in
// ms, 0xFFFFFFFF: no limit; nonzero when taken), Unlock/Leave give units
// back (nonzero when given; never beyond the maximum). Any thread.
#pragma once

#include "kavra_msvc/CBaseObj.h"
#include "kavra_msvc/Export.h"
#include "kavra_msvc/WinTypes.h"

class KAVRA_MSVC_API CSema : public CBaseObj {
public:
    CSema(long initialCount, long maximumCount, const char* name, SECURITY_ATTRIBUTES* attributes);
    CSema(const CSema&) = delete;
    CSema& operator=(const CSema&) = delete;
    ~CSema() override;

    int Lock(unsigned long timeoutMs);
    int Unlock(long count, long* previous);
    int Enter(unsigned long timeoutMs);
    int Leave(long count, long* previous);

private:
    void* m_handle;
};
