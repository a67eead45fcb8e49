// The test process and its children: starts a program of the build and
// collects what it prints, and reads this process's memory figures, with
// one implementation per system (TestProcessPosix.cpp, TestProcessWin32.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavra::test {

struct ProgramResult {
    // The exit status, or -1 when the program could not start or did not
    // exit normally.
    int exitCode = -1;
    // Standard output and standard error together, line ends as "\n" (on
    // Windows the error output follows the rest).
    std::string output;
};

// Runs program with args (each passed as one argument) and waits for it.
// On Windows a program named without a folder is taken from the test
// binary's own folder, where the build puts every program.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// This process's resident memory now, and its peak, in KiB; 0 when the
// system does not tell. Any thread.
std::uint64_t ResidentKiB();
std::uint64_t PeakResidentKiB();
// Lowers the recorded peak to the current size, so that a later
// PeakResidentKiB tells the peak of what came after. False where the system
// keeps the peak since the process started.
bool ResetPeakResident();

} // namespace kavra::test
