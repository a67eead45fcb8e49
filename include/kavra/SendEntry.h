#pragma once

#include "kavra/Export.h"

#include <chrono>
#include <memory>

namespace kavra {

/// One entry taken off a client's send queue: the copied bytes of one PDU,
/// owned by whoever holds the entry.
struct SendEntry {
    /// Releases a copy that SendPdu made, in the library, so that the
    /// library's allocation accounting sees it go (kavra/base/AllocationWatch.h).
    struct Release {
        /// Frees copy; null is ignored.
        KAVRA_API void operator()(unsigned char* copy) const noexcept;
    };

    /// The copied body; null when the queue was empty.
    std::unique_ptr<unsigned char[], Release> bytes;
    /// Number of bytes in bytes.
    unsigned int size = 0;
    /// When SendPdu queued it.
    std::chrono::steady_clock::time_point queuedAt{};

    /// False when the queue was empty.
    explicit operator bool() const { return bytes != nullptr; }
};

} // namespace kavra
