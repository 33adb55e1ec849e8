// Stats: shared atomic counters and their Prometheus text.
#include "stats.h"

#include <atomic>
#include <cstdarg>

#include "adt/lib.h"

namespace
{

struct module_stats {
    uint64_t id; // MODULE_ID | the module number; 0: a free slot
    uint64_t restarts, given_up;
    uint64_t results[STAT_OPS][STAT_RESULTS];
    uint64_t buckets[STAT_OPS][STATS_BUCKETS]; // per bucket, not cumulative
    uint64_t micros[STAT_OPS];
};

struct stats_area {
    uint64_t counter[STAT_COUNTERS];
    uint64_t connections;
    module_stats module[STATS_MODULES];
};

const uint64_t MODULE_ID = uint64_t(1) << 32;
const char *const OPS[STAT_OPS] = {"lookup", "check", "set", "del", "search"};
const char *const RESULTS[STAT_RESULTS] = {"ok", "err", "dead", "timeout"};
const char *const BOUNDS[STATS_BUCKETS] = {"0.0005", "0.001", "0.0025", "0.005", "0.01",
                                           "0.025",  "0.05",  "0.1",    "0.25",  "0.5",
                                           "1",      "2.5",   "5",      "10",    "+Inf"};

uint64_t load(const uint64_t &v)
{
    return std::atomic_ref<uint64_t>(const_cast<uint64_t &>(v)).load(std::memory_order_relaxed);
}

void add(uint64_t &v, uint64_t n)
{
    std::atomic_ref<uint64_t>(v).fetch_add(n, std::memory_order_relaxed);
}

stats_area *area(const Shm *s)
{
    ShmPart size;
    unsigned char *p = shm_part(s, SHM_STATS, &size);
    return p && size.bytes >= sizeof(stats_area) ? reinterpret_cast<stats_area *>(p) : nullptr;
}

// The module's slot, taken when it has none; null when every slot is taken.
module_stats *slot(Shm *s, int module)
{
    stats_area *a = area(s);
    uint64_t id = MODULE_ID | static_cast<uint32_t>(module);
    for (int i = 0; a && i < STATS_MODULES; i++) {
        std::atomic_ref<uint64_t> r(a->module[i].id);
        uint64_t seen = r.load(std::memory_order_relaxed);
        if (seen == id || (seen == 0 && (r.compare_exchange_strong(seen, id) || seen == id)))
            return &a->module[i];
    }
    return nullptr;
}

int number_of(const module_stats &m)
{
    return static_cast<int>(static_cast<uint32_t>(load(m.id)));
}

using Out = std::function<void(const char *)>;

void put(const Out &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void put(const Out &out, const char *format, ...)
{
    char bf[256];
    va_list ap;
    va_start(ap, format);
    if (adt::vsnprintf(bf, sizeof bf, format, ap) < 0) bf[sizeof bf - 1] = 0;
    va_end(ap);
    out(bf);
}

void family(const Out &out, const char *name, const char *type, const char *help)
{
    put(out, "# HELP %s %s", name, help);
    put(out, "# TYPE %s %s", name, type);
}

unsigned long long total(const uint64_t *v, int n)
{
    unsigned long long sum = 0;
    for (int i = 0; i < n; i++) sum += load(v[i]);
    return sum;
}

void write_histograms(const Out &out, const stats_area *a)
{
    family(out, "corvane_request_seconds", "histogram",
           "Time a module took to answer a request, by module and operation.");
    for (const module_stats &m : a->module) {
        if (!load(m.id)) continue;
        for (int op = 0; op < STAT_OPS; op++) {
            // One read of each bucket, so the cumulative counts, +Inf and
            // _count agree while others go on counting.
            uint64_t b[STATS_BUCKETS];
            unsigned long long sum = 0;
            for (int i = 0; i < STATS_BUCKETS; i++) sum += b[i] = load(m.buckets[op][i]);
            if (!sum) continue;
            unsigned long long upto = 0;
            for (int i = 0; i < STATS_BUCKETS; i++)
                put(out, "corvane_request_seconds_bucket{module=\"%d\",op=\"%s\",le=\"%s\"} %llu",
                    number_of(m), OPS[op], BOUNDS[i], upto += b[i]);
            put(out, "corvane_request_seconds_sum{module=\"%d\",op=\"%s\"} %.6f", number_of(m),
                OPS[op], static_cast<double>(load(m.micros[op])) / 1e6);
            put(out, "corvane_request_seconds_count{module=\"%d\",op=\"%s\"} %llu", number_of(m),
                OPS[op], sum);
        }
    }
}

void write_modules(const Out &out, const stats_area *a)
{
    family(out, "corvane_requests_total", "counter",
           "Requests a module answered, by module, operation and result.");
    for (const module_stats &m : a->module)
        for (int op = 0; load(m.id) && op < STAT_OPS; op++)
            for (int r = 0; r < STAT_RESULTS; r++)
                if (uint64_t n = load(m.results[op][r]))
                    put(out, "corvane_requests_total{module=\"%d\",op=\"%s\",result=\"%s\"} %llu",
                        number_of(m), OPS[op], RESULTS[r], static_cast<unsigned long long>(n));
    write_histograms(out, a);
    family(out, "corvane_module_restarts_total", "counter",
           "Restarts of a module after a failure.");
    for (const module_stats &m : a->module)
        if (load(m.id))
            put(out, "corvane_module_restarts_total{module=\"%d\"} %llu", number_of(m),
                total(&m.restarts, 1));
    family(out, "corvane_module_given_up_total", "counter",
           "Times a module was given up after failing too often.");
    for (const module_stats &m : a->module)
        if (load(m.id))
            put(out, "corvane_module_given_up_total{module=\"%d\"} %llu", number_of(m),
                total(&m.given_up, 1));
}

} // namespace

ShmPart stats_part(void)
{
    return {0, sizeof(stats_area)};
}

void stats_count(Shm *s, int counter)
{
    if (stats_area *a = area(s); a && counter >= 0 && counter < STAT_COUNTERS)
        add(a->counter[counter], 1);
}

void stats_connections(Shm *s, int delta)
{
    if (stats_area *a = area(s)) add(a->connections, static_cast<uint64_t>(int64_t(delta)));
}

void stats_request(Shm *s, int module, int op, int result, long micros)
{
    if (op < 0 || op >= STAT_OPS || result < 0 || result >= STAT_RESULTS) return;
    module_stats *m = slot(s, module);
    if (!m) return;
    if (micros < 0) micros = 0;
    int b = 0;
    while (b < STATS_BUCKETS - 1 && micros > STATS_BOUNDS[b]) b++;
    add(m->results[op][result], 1);
    add(m->buckets[op][b], 1);
    add(m->micros[op], static_cast<uint64_t>(micros));
}

void stats_restart(Shm *s, int module)
{
    if (module_stats *m = slot(s, module)) add(m->restarts, 1);
}

void stats_given_up(Shm *s, int module)
{
    if (module_stats *m = slot(s, module)) add(m->given_up, 1);
}

void stats_write(const Shm *s, const Out &line)
{
    const stats_area *a = area(s);
    if (!a) return;
    write_modules(line, a);
    static const struct {
        int counter;
        const char *name, *help;
    } counters[] = {
        {STAT_REFUSED, "corvane_connections_refused_total", "Connections refused."},
        {STAT_THROTTLED, "corvane_throttled_total",
         "Checks made to wait, or refused, after too many failures."},
        {STAT_CACHE_HITS, "corvane_cache_hits_total", "Requests answered from the cache."},
        {STAT_CACHE_MISSES, "corvane_cache_misses_total", "Requests the cache could not answer."},
    };
    family(line, "corvane_connections", "gauge", "Client connections open now.");
    put(line, "corvane_connections %lld", static_cast<long long>(load(a->connections)));
    for (const auto &c : counters) {
        family(line, c.name, "counter", c.help);
        put(line, "%s %llu", c.name, total(&a->counter[c.counter], 1));
    }
    family(line, "corvane_uptime_seconds", "gauge", "Seconds since the daemon started.");
    long up = (shm_now() - s->started) / 1000;
    put(line, "corvane_uptime_seconds %ld", up > 0 ? up : 0);
}
