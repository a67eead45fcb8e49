#include "client/ClientCounters.h"

#include <cstddef>

namespace kavra {

// The fields released so far keep their places: new ones go after
// msInCurrentState, the end of the list.
static_assert(offsetof(ConnectionStats, msInCurrentState) == 28 * sizeof(std::uint64_t));

#define KAVRA_STAT_COPY(kind, cxx, c) KAVRA_STAT_COPY_##kind(cxx)
#define KAVRA_STAT_COPY_COUNTER(cxx) stats.cxx = Get(Stat::cxx);
#define KAVRA_STAT_COPY_CXX_COUNTER(cxx) stats.cxx = Get(Stat::cxx);
#define KAVRA_STAT_COPY_READ(cxx)
#define KAVRA_STAT_COPY_FLAG(cxx)
#define KAVRA_STAT_COPY_SUM(cxx)

void ClientCounters::CopyTo(ConnectionStats& stats) const {
    KAVRA_STATS_FIELDS(KAVRA_STAT_COPY)
}

} // namespace kavra
