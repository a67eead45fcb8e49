#include "base/os/Cpu.h"

#include <sched.h>
#include <thread>

namespace kavra::os {

int UsableCpuCount() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        return count > 0 ? count : 1;
    }
#endif
    const unsigned int count = std::thread::hardware_concurrency();
    return count > 0 ? static_cast<int>(count) : 1;
}

} // namespace kavra::os
