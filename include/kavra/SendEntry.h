// One entry taken off a client's send queue: the copied bytes of one PDU,
// owned by whoever holds the entry.
#pragma once

#include <chrono>
#include <memory>

namespace kavra {

struct SendEntry {
    std::unique_ptr<unsigned char[]> bytes;
    unsigned int size = 0;
    // When SendPdu queued it.
    std::chrono::steady_clock::time_point queuedAt{};

    // False when the queue was empty.
    explicit operator bool() const { return bytes != nullptr; }
};

} // namespace kavra
