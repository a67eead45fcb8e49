/// @file
/// How many threads of the library are running.
///
/// The library starts threads of its own: one worker per running client
/// (any CBaseThread), and a short-lived one for each name lookup that
/// cannot be answered at once. A program should stop every client before it
/// ends: on Windows a thread that is still busy when the process ends can
/// hang its exit (the end of the process stops the thread wherever it is,
/// perhaps holding the heap's lock, which the process's own shutdown then
/// waits for). Alive() lets a program, or a test, check that nothing of the
/// library still runs.
#pragma once

#include "kavra/Export.h"

class CBaseThread;

namespace kavra {

/// Counts the threads the library runs. All operations: any thread.
class KAVRA_API ThreadCensus {
public:
    /// Threads of the library that have started and not yet finished.
    static int Alive() noexcept;
    /// Waits until Alive() is 0, at most timeoutMs; true when it got there.
    static bool WaitUntilNone(unsigned int timeoutMs);

private:
    friend class ::CBaseThread;
    // A worker counts itself from the first line of its thread to the last.
    static void Arrived() noexcept;
    static void Left() noexcept;
};

} // namespace kavra
