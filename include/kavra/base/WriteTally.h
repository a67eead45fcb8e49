#pragma once

#include <atomic>
#include <cstdint>

namespace kavra {

/// What became of the writes a socket took, for the counters of the thread
/// that owns it.
///
/// A write the socket holds back (a corked CSocket::Send) is counted in held at
/// once and later in exactly one of accepted (the kernel took its last byte),
/// droppedTimedOut or droppedFailed. So held minus those three is what the
/// socket still holds. outOfStepCloses counts the times the socket failed
/// itself because a write timed out after part of it had gone out: the peer
/// can no longer tell where the next write starts.
///
/// The socket's thread adds; any thread reads.
struct WriteTally {
    /// Writes the socket held back.
    std::atomic<std::uint64_t> held{0};
    /// Held writes whose last byte the kernel took.
    std::atomic<std::uint64_t> accepted{0};
    /// Bytes of the accepted held writes.
    std::atomic<std::uint64_t> acceptedBytes{0};
    /// Held writes dropped because the write timed out.
    std::atomic<std::uint64_t> droppedTimedOut{0};
    /// Held writes dropped because the connection failed.
    std::atomic<std::uint64_t> droppedFailed{0};
    /// Times the socket failed itself because a write timed out after part
    /// of it had gone out.
    std::atomic<std::uint64_t> outOfStepCloses{0};

    /// Held writes not yet accepted or dropped: held minus the other three.
    ///
    /// Read from any thread while the socket's thread may add: the settled
    /// counts are read first, so that a write held and settled in between
    /// cannot make the difference negative.
    std::uint64_t StillHeld() const {
        const std::uint64_t settled = accepted.load() + droppedTimedOut.load() + droppedFailed.load();
        return held.load() - settled;
    }
};

} // namespace kavra
