// The main of every test program: GoogleTest's own, and on Windows a crash
// on any thread ends the process with a failing status. Under Wine, with no
// debugger to start, a test program whose thread crashed was seen to exit
// with status 0 after its crash report, which CTest counts as a pass.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <cstdio>

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

int main(int argc, char** argv) {
#ifdef _WIN32
    // No dialog box on a real desktop: the run must end by itself.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetUnhandledExceptionFilter(failOnUnhandled);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
