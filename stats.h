// Stats: the daemon's counts, added to by the supervisor and every worker
// in the shared region and written in the Prometheus text exposition format.
//
// Every count is a 64-bit atomic counter in the region, added to without
// the lock (relaxed order: counts, not a log of events): a count costs one
// atomic add, and a process killed in the middle leaves nothing to repair.
// The counts live as long as the region, so across a reload; a worker that
// writes over them makes only the numbers wrong.
//
// Per module (up to STATS_MODULES, by module number, each given a slot the
// first time it is counted; further modules are not counted): requests by
// operation and result, the time each request took (a histogram per
// operation with the bounds of STATS_BOUNDS), restarts and give-ups. For
// the whole daemon: open connections, refused connections, throttled
// checks, cache hits and misses, and the time since the region was made.
#ifndef STATS_H
#define STATS_H

#include <functional>

#include "shm.h"

inline constexpr int STATS_MODULES = 64;
// Upper bounds of the histogram's buckets, in microseconds (and +Inf).
inline constexpr long STATS_BOUNDS[] = {500,     1000,    2500,    5000,    10000,
                                        25000,   50000,   100000,  250000,  500000,
                                        1000000, 2500000, 5000000, 10000000};
inline constexpr int STATS_BUCKETS = sizeof STATS_BOUNDS / sizeof STATS_BOUNDS[0] + 1;

enum StatOp { STAT_LOOKUP, STAT_CHECK, STAT_SET, STAT_DEL, STAT_SEARCH, STAT_OPS };
enum StatResult { STAT_OK, STAT_ERR, STAT_DEAD, STAT_TIMEOUT, STAT_RESULTS };
enum StatCounter {
    STAT_REFUSED,      // connections refused (corvane_connections_refused_total)
    STAT_THROTTLED,    // checks that waited or were refused (corvane_throttled_total)
    STAT_CACHE_HITS,   // requests answered from the cache
    STAT_CACHE_MISSES, // requests the cache could not answer
    STAT_COUNTERS
};

// The size of the statistics' part of the region.
ShmPart stats_part(void);
// Adds one to counter.
void stats_count(Shm *s, int counter);
// Adds delta (1 or -1) to the open connections.
void stats_connections(Shm *s, int delta);
// Counts a request that module (its number) answered in micros: op and
// result are a StatOp and a StatResult; others are not counted.
void stats_request(Shm *s, int module, int op, int result, long micros);
void stats_restart(Shm *s, int module);
void stats_given_up(Shm *s, int module);
// Writes every count as lines of the Prometheus text exposition format,
// each without its line feed, to line (the caller sends each after
// "+DATA "): a "# HELP" and a "# TYPE" line per metric, then its samples;
// per-module requests and histograms only for what was counted. Nothing
// without a region.
void stats_write(const Shm *s, const std::function<void(const char *line)> &line);

#endif
