#pragma once

#include <cstdint>

namespace kavra {

/**
 * A snapshot of one client connection's counters.
 *
 * Every PDU SendPdu accepted is in exactly one place, so at any quiet moment
 * (no SendPdu running, the worker between frames):
 *
 * @verbatim
 *   pdusAccepted == framesSent + SendDropped() + sendQueued + sendBuffered
 * @endverbatim
 *
 * and every frame the receive path read whole with a body is in one place:
 *
 * @verbatim
 *   framesRead == framesReceived + receiveDropsQueueFull + oversizeDiscarded
 * @endverbatim
 *
 * The counters are read one by one without locks; under traffic the set is
 * not one atomic snapshot.
 */
struct ConnectionStats {
    /// @name Send side
    ///@{
    /// SendPdu calls that returned 0: the PDU was copied and queued.
    std::uint64_t pdusAccepted = 0;
    /// Frames whose last byte the kernel accepted.
    std::uint64_t framesSent = 0;
    /// The body bytes of those frames.
    std::uint64_t bytesSent = 0;
    /// Accepted PDUs that will never be sent because the connection was down
    /// when the worker came to write it (nothing went out).
    std::uint64_t sendDroppedDisconnected = 0;
    /// Accepted PDUs that will never be sent because the write timed out. If
    /// part of the frame had gone out the stream was out of step, and the
    /// connection was closed and re-established (outOfStepCloses).
    std::uint64_t sendDroppedTimedOut = 0;
    /// Accepted PDUs that will never be sent because the connection failed
    /// (reset, closed) before the frame's last byte went.
    std::uint64_t sendDroppedConnectionFailed = 0;
    /// Accepted PDUs released unwritten when a stop's linger ran out (see
    /// KavraClientThread::SetLinger), or by the destructor.
    std::uint64_t sendDroppedAtStop = 0;
    /// Accepted PDUs with a body of 0 bytes, which is accepted but never
    /// written.
    std::uint64_t sendDroppedEmpty = 0;
    /// Accepted PDUs older than the maximum age (KavraClientThread::SetMaxAge)
    /// when they could be written.
    std::uint64_t sendDroppedStale = 0;
    /// Entries waiting in the send queue (a snapshot).
    std::uint64_t sendQueued = 0;
    /// Frames the socket holds back to write together with the next ones (a
    /// snapshot).
    std::uint64_t sendBuffered = 0;
    /// PDUs SendPdu refused because the send queue had reached its limit
    /// (never accepted, so outside the sum above).
    std::uint64_t sendQueueFull = 0;
    /// PDUs SendPdu refused because the thread had been stopped (from the
    /// stop request until it is started again; never accepted, so outside
    /// the sum above).
    std::uint64_t sendRefusedStopped = 0;
    /// Connections closed because a write timed out after part of a frame had
    /// gone out: the peer could no longer tell where the next frame starts.
    std::uint64_t outOfStepCloses = 0;
    ///@}

    /// @name Receive side
    ///@{
    /// Frames whose header announced 1..1 MiB body bytes and that were read
    /// whole.
    std::uint64_t framesRead = 0;
    /// Of those: queued for the consumer.
    std::uint64_t framesReceived = 0;
    /// The body bytes of the frames queued for the consumer.
    std::uint64_t bytesReceived = 0;
    /// Of those read whole: dropped because 100 PDUs were waiting for the
    /// consumer (only with ReceiveOverflow::Drop, the default).
    std::uint64_t receiveDropsQueueFull = 0;
    /// Of those read whole: longer than the largest body (8812 bytes): read
    /// and discarded so the stream stays in step, never delivered.
    std::uint64_t oversizeDiscarded = 0;
    /// Headers whose length was 0, negative or above 1 MiB: no body is read,
    /// and the reader looks for the next sync mark after them.
    std::uint64_t badHeaders = 0;
    /// Bytes skipped while looking for the next sync mark.
    std::uint64_t resyncBytesDiscarded = 0;
    /// Queued PDUs that GetMessageA destroyed undelivered because their body
    /// was longer than the MAX_PDU_LENGTH bytes it may write (only a derived
    /// class's own ReceivePush can queue one).
    std::uint64_t consumerDropsTooLong = 0;
    /// Times reading stopped because 100 PDUs waited (ReceiveOverflow::Block;
    /// nothing is dropped then).
    std::uint64_t receivePauses = 0;
    ///@}

    /// @name Connection
    ///@{
    /// Successful reconnections after the connection dropped.
    std::uint64_t reconnections = 0;
    /// Connections made (the first included).
    std::uint64_t connectionsMade = 0;
    /// Connections that dropped (peer close, reset, dead peer found by
    /// keepalive or the idle limit, a write cut short).
    std::uint64_t connectionsLost = 0;
    /// Connect attempts that failed.
    std::uint64_t connectFailures = 0;
    /// Whether the connection is up.
    bool connected = false;
    /// Whether the give-up limit ended the reconnection attempts.
    bool gaveUp = false;
    /// How long the current state has lasted, in ms.
    std::uint64_t msInCurrentState = 0;
    ///@}

    /// The sum of the six sendDropped* counters: accepted PDUs that will
    /// never be sent.
    std::uint64_t SendDropped() const {
        return sendDroppedDisconnected + sendDroppedTimedOut + sendDroppedConnectionFailed +
               sendDroppedAtStop + sendDroppedEmpty + sendDroppedStale;
    }
};

} // namespace kavra
