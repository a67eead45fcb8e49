// Shared by the fault and load tests: whether the build runs under a
// sanitizer (whose allocators make memory figures meaningless) and seeded
// garbage that never holds a sync mark. The process's memory figures come
// from support/TestProcess.h.
#pragma once

#include "client/ClientTestUtil.h"
#include "support/TestProcess.h"

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace kavra::test {

#if defined(KAVRA_SANITIZER_ADDRESS) || defined(KAVRA_SANITIZER_THREAD)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// size bytes of noise: mostly random bytes below 0xFF, with runs of one to
// nine 0xFF each followed by another byte, so the scan meets near-misses but
// never a whole sync mark. Neither the first nor the last byte is 0xFF, so
// the noise can neither extend a sync mark before it nor one after it.
inline Bytes Garbage(std::size_t size, std::mt19937& rng) {
    Bytes bytes;
    bytes.reserve(size + 10);
    std::uniform_int_distribution<int> plain(0, 0xFE);
    std::uniform_int_distribution<int> chance(0, 15);
    std::uniform_int_distribution<int> runLength(1, 9);
    while (bytes.size() < size) {
        if (!bytes.empty() && chance(rng) == 0) {
            bytes.insert(bytes.end(), static_cast<std::size_t>(runLength(rng)), 0xFF);
        }
        bytes.push_back(static_cast<unsigned char>(plain(rng)));
    }
    bytes.resize(size);
    if (!bytes.empty() && bytes.back() == 0xFF) {
        bytes.back() = 0x00;
    }
    return bytes;
}

} // namespace kavra::test
