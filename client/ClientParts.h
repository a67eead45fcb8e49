#pragma once

#include "client/ClientCounters.h"
#include "client/ConnectionWait.h"
#include "client/Linger.h"
#include "client/MaxAge.h"
#include "client/PduRecycler.h"
#include "client/ReceiveBackpressure.h"
#include "client/ReceiveSignal.h"
#include "client/SendAhead.h"
#include "client/SendHold.h"
#include "client/SendQueueLimit.h"
#include "client/SendRoom.h"

#include <cstddef>

class CBaseThread;

namespace kavra {

/**
 * What KavraClientThread keeps beside the members of its own: its tallies
 * and one small class per policy, each with its own thread rules.
 *
 * The exported class holds it behind one pointer, so that a policy added
 * here changes neither the size nor the layout that classes derived from it
 * in applications were compiled against.
 */
struct ClientParts {
    /// worker: the client thread; ioTimeoutMs: its read and write timeout;
    /// receiveCapacity: the most received PDUs it queues.
    ClientParts(const CBaseThread& worker, int ioTimeoutMs, std::size_t receiveCapacity)
        : connectionWait(worker), linger(ioTimeoutMs), receive(receiveCapacity), ahead(worker) {}

    ClientCounters counters;
    SendQueueLimit queueLimit;
    SendHold hold;
    MaxAge maxAge;
    ConnectionWait connectionWait;
    Linger linger;
    ReceiveBackpressure receive;
    SendRoom room;
    SendAhead ahead;
    ReceiveSignal receiveSignal;
    PduRecycler recycler;

    /// Whether SendPdu has a limit to look at: an entry or a byte limit is
    /// set. Any thread.
    bool SendLimited() const { return queueLimit.Get() != 0 || room.ByteLimit() != 0; }
};

} // namespace kavra
