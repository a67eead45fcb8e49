#include "tools/os/Terminal.h"

// Winsock's header brings <windows.h> in the order it needs.
#include "base/os/Winsock.h"

#include <atomic>
#include <cstdio>
#include <io.h>

namespace kavra::os {

namespace {

std::atomic<bool> g_interrupted{false};

// Runs on a thread of its own that the system starts for the event. Ctrl-C,
// Ctrl-Break and closing the console window all end the tool the same way.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        g_interrupted.store(true);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

bool Terminal::StdoutIsTerminal() {
    return ::_isatty(::_fileno(stdout)) != 0;
}

void Terminal::CatchInterrupt() {
    // Windows has no SIGPIPE: a write to a closed pipe or socket fails with
    // an error on its own.
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool Terminal::Interrupted() {
    return g_interrupted.load();
}

} // namespace kavra::os
