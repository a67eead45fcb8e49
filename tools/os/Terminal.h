// The terminal and the signals (console events on Windows) as the
// command-line tool deals with them; not part of the library. One implementation per system: TerminalPosix.cpp,
// TerminalWin32.cpp.
#pragma once

namespace kavra::os {

class Terminal {
public:
    // True when standard output is a terminal (progress bars go there only).
    static bool StdoutIsTerminal();
    // From now on an interrupt (SIGINT or SIGTERM; on Windows Ctrl-C,
    // Ctrl-Break or closing the console) sets a flag instead of ending the
    // process, and a write to a closed pipe fails instead of killing it.
    // Main thread, once.
    static void CatchInterrupt();
    // True after an interrupt. Any thread.
    static bool Interrupted();
};

} // namespace kavra::os
