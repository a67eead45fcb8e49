#pragma once

#include "kavra/base/CBaseThread.h"

#include <cstdio>
#include <cstdlib>

namespace kavra {

/// Whether the library checks that methods kept to an object's own thread
/// run there: in every build without NDEBUG, and in any build configured with
/// KAVRA_THREAD_CHECKS (the test builds are).
#if defined(KAVRA_THREAD_CHECKS) || !defined(NDEBUG)
inline constexpr bool THREAD_CHECKS = true;
#else
inline constexpr bool THREAD_CHECKS = false;
#endif

/// Stops the process when function, one of the methods that only thread's
/// own thread may call, runs on another thread while that thread runs.
/// Before the thread starts and after it ended the object has no thread, and
/// its owner may call anything. Nothing at all without THREAD_CHECKS.
inline void AssertInThread(const CBaseThread& thread, const char* function) {
    if constexpr (THREAD_CHECKS) {
        if (thread.IsRunning() && !thread.IsCurrentThread()) {
            std::fprintf(stderr, "kavra: %s called off its thread\n", function);
            std::abort();
        }
    }
}

} // namespace kavra
