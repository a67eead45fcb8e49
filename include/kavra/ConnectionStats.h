// A snapshot of one client connection's counters.
#pragma once

#include <cstdint>

namespace kavra {

struct ConnectionStats {
    // Frames written whole, and their body bytes.
    std::uint64_t framesSent = 0;
    std::uint64_t bytesSent = 0;
    // Frames whose write failed or timed out (the frame is lost).
    std::uint64_t sendFailures = 0;
    // Frames read whole and queued for the consumer, and their body bytes.
    std::uint64_t framesReceived = 0;
    std::uint64_t bytesReceived = 0;
    // Frames read whole but dropped because the receive queue was full.
    std::uint64_t receiveDropsQueueFull = 0;
    // Headers whose body length was 0, negative or above the largest body.
    std::uint64_t badHeaders = 0;
    // Bytes skipped while looking for the next sync mark.
    std::uint64_t resyncBytesDiscarded = 0;
    // PDUs SendPdu refused because the send queue had reached its limit.
    std::uint64_t sendQueueFull = 0;
    // Successful reconnections after the connection dropped.
    std::uint64_t reconnections = 0;
};

} // namespace kavra
