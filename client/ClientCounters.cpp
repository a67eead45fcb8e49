#include "client/ClientCounters.h"

namespace kavra {

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
