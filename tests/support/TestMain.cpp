// The main of every test program: GoogleTest's own, and on Windows a crash
// on any thread ends the process with a failing status. Under Wine, with no
// debugger to start, a test program whose thread crashed was seen to exit
// with status 0 after its crash report, which CTest counts as a pass.
//
// The program also fails when a thread of the library still runs once the
// tests are done: on Windows a thread that is busy while the process ends
// can hang its exit after the last line of output.
#include "support/Slowdown.h"

#include <kavra/base/ThreadCensus.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifdef _WIN32
#include <windows.h>

namespace {

LONG WINAPI failOnUnhandled(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "Unhandled exception 0x%08lx at %p: the test program stops\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 info->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace
#endif

namespace {

// A launcher that starts the program again when its start failed (under
// Wine, tests/support/wine-start.sh) learns here that this run began.
void markStarted() {
    if (const char* path = std::getenv("KAVRA_TEST_STARTED")) {
        if (std::FILE* file = std::fopen(path, "w")) {
            std::fclose(file);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    markStarted();
#ifdef _WIN32
    // No dialog box on a real desktop: the run must end by itself.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetUnhandledExceptionFilter(failOnUnhandled);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Lookups given up on end by themselves, soon where no name server
    // hangs; a worker thread ends only when its client is stopped.
    const auto grace = kavra::test::Patient(std::chrono::milliseconds(10'000));
    if (!kavra::ThreadCensus::WaitUntilNone(static_cast<unsigned int>(grace.count()))) {
        std::cerr << kavra::ThreadCensus::Alive()
                  << " threads of the library still run after the tests: a client was not "
                     "stopped, or a name lookup never ended\n";
        return 1;
    }
    return result;
}
