// The tool's dealings with the terminal and with signals.
#pragma once

namespace kavra::tool {

class Terminal {
public:
    // True when standard output is a terminal (progress bars go there only).
    static bool StdoutIsTerminal();
    // From now on SIGINT and SIGTERM set a flag instead of ending the
    // process, and a write to a closed pipe fails instead of killing it.
    // Main thread, once.
    static void CatchInterrupt();
    // True after SIGINT or SIGTERM. Any thread.
    static bool Interrupted();
};

} // namespace kavra::tool
