#pragma once

#include "client/ClientCounters.h"
#include "client/ConnectionWait.h"

namespace kavra {

/**
 * What KavraClientThread keeps beside the members of its own: its tallies
 * and the small classes of its policies, each with its own thread rules.
 *
 * The exported class holds it behind one pointer, so that a policy added
 * here changes neither the size nor the layout that classes derived from it
 * in applications were compiled against.
 */
struct ClientParts {
    ClientCounters counters;
    ConnectionWait connectionWait;
};

} // namespace kavra
