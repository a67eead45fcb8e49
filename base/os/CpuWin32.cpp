#include "base/os/Cpu.h"

#include "base/os/Winsock.h"

#include <bitset>

namespace kavra::os {

int UsableCpuCount() {
    // A thread's own mask can only be read by setting it; the process's mask
    // bounds it and is what pinning a whole program changes.
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) == 0 || process == 0) {
        return 1;
    }
    const auto count = std::bitset<sizeof(DWORD_PTR) * 8>(process).count();
    return count > 0 ? static_cast<int>(count) : 1;
}

} // namespace kavra::os
