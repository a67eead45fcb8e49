// How many times slower than an ordinary machine this one runs the suite,
// from the KAVRA_TEST_SLOWDOWN environment variable (1 when unset). The
// 32-bit Windows stage runs the suite under Wine in an emulated guest, where
// socket-heavy work is a hundred times slower; there the tests' own patience
// (how long a peer waits for quiet, the room a bound leaves for scheduling)
// grows by the factor, and load tests move fewer PDUs. The library's own
// timeouts never change: a test that checks one checks it as written.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace kavra::test {

inline int Slowdown() {
    static const int factor = [] {
        const char* text = std::getenv("KAVRA_TEST_SLOWDOWN");
        const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
        return value >= 1 && value <= 1000 ? static_cast<int>(value) : 1;
    }();
    return factor;
}

// A wait or margin of the test's own, stretched by the slowdown.
template <typename Rep, typename Period>
std::chrono::duration<Rep, Period> Patient(std::chrono::duration<Rep, Period> wait) {
    return wait * Slowdown();
}

// A load test's volume, shrunk by the slowdown but never below floor.
inline std::uint32_t Lighter(std::uint32_t count, std::uint32_t floor) {
    const std::uint32_t scaled = count / static_cast<std::uint32_t>(Slowdown());
    return scaled > floor ? scaled : floor;
}

} // namespace kavra::test
