#include "support/TestProcess.h"

#include "support/ChildProcess.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <psapi.h>

#include <optional>

namespace kavra::test {

namespace {

PROCESS_MEMORY_COUNTERS memoryCounters() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters) == 0) {
        return PROCESS_MEMORY_COUNTERS{};
    }
    return counters;
}

} // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
    ProgramResult result;
    ChildProcess child(program, args, "");
    if (!child.Started()) {
        return result;
    }
    std::string errors;
    std::optional<int> status;
    while (!(status = child.Poll())) {
        child.Pump(50, result.output, errors);
    }
    while (child.Pump(0, result.output, errors)) {
    }
    result.exitCode = *status;
    result.output += errors;
    return result;
}

std::uint64_t ResidentKiB() {
    return memoryCounters().WorkingSetSize / 1024;
}

std::uint64_t PeakResidentKiB() {
    return memoryCounters().PeakWorkingSetSize / 1024;
}

bool ResetPeakResident() {
    // Windows keeps the peak working set for the life of the process.
    return false;
}

} // namespace kavra::test
