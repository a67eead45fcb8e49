#pragma once

#include "kavra/StatsFields.h"

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
    /// The fields, one per line of KAVRA_STATS_FIELDS (kavra/StatsFields.h),
    /// in its order and with the meanings written there: the send side
    /// (pdusAccepted, framesSent, ... sendRefusedStopped, outOfStepCloses),
    /// the receive side (framesRead, ... receivePauses) and the connection
    /// (reconnections, ... connected, gaveUp, msInCurrentState), then TLS
    /// (encrypted, tlsVersion), lastConnectError and resumedHandshakes.
    KAVRA_STATS_FIELDS(KAVRA_STATS_CXX_MEMBER)

    /// The sum of the six sendDropped* counters: accepted PDUs that will
    /// never be sent.
    std::uint64_t SendDropped() const {
        return sendDroppedDisconnected + sendDroppedTimedOut + sendDroppedConnectionFailed +
               sendDroppedAtStop + sendDroppedEmpty + sendDroppedStale;
    }
};

} // namespace kavra
