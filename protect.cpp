// Protect: throttling, the cache and the counts around the modules.
#include "protect.h"

#include <cstring>

#include "adt/lib.h"
#include "adt/log.h"
#include "adt/tallis.h"
#include "config.h"
#include "stats.h"

using namespace adt;

// The module table's events and outcomes are counted as the statistics' own.
static_assert(int(TALLIS_LOOKUP) == int(STAT_LOOKUP) && int(TALLIS_SEARCH) == int(STAT_SEARCH) &&
              int(TALLIS_OK) == int(STAT_OK) && int(TALLIS_TIMEOUT) == int(STAT_TIMEOUT));

namespace
{

struct Protection {
    Shm *shm = nullptr;
    SharedSettings set = {};
    bool wrote = false; // a set or del exchange since the last protect_end
} P;

bool caching(void)
{
    return P.shm && (P.set.cache_ttl > 0 || P.set.cache_negative_ttl > 0);
}

// A setting that the standard-input mode leaves off unless the file sets it.
int written(SIni ini, int id, int daemon)
{
    return daemon || sini_has(ini, id, nullptr) ? config_number(ini, id, nullptr) : 0;
}

} // namespace

void protect_settings(SIni ini, int daemon, SharedSettings *set)
{
    *set = SharedSettings{};
    set->fail_window = config_number(ini, I_FAIL_WINDOW, nullptr);
    set->fail_limit = written(ini, I_FAIL_LIMIT, daemon);
    set->user_fail_limit = written(ini, I_USER_FAIL_LIMIT, daemon);
    set->fail_delay = config_number(ini, I_FAIL_DELAY, nullptr);
    set->cache_ttl = written(ini, I_CACHE_TTL, daemon);
    set->cache_negative_ttl = written(ini, I_CACHE_NEGATIVE_TTL, daemon);
    // Tables of a process of its own are made only when they are used.
    bool throttles = set->fail_limit > 0 || set->user_fail_limit > 0;
    set->fail_entries = daemon || throttles ? config_number(ini, I_FAIL_ENTRIES, nullptr) : 0;
    bool caches = set->cache_ttl > 0 || set->cache_negative_ttl > 0;
    set->cache_entries = daemon || caches ? config_number(ini, I_CACHE_ENTRIES, nullptr) : 0;
    char why[WIRE_BUF];
    if (!throttle_exempt(set, config_global(ini, I_FAIL_EXEMPT), why, sizeof why)) emsg("%s", why);
}

Shm *protect_region(const SharedSettings *set, char *why, int size)
{
    const ShmPart parts[SHM_PARTS] = {throttle_part(set), cache_part(set), stats_part()};
    return shm_create(parts, why, size);
}

void protect_use(Shm *s, const SharedSettings *set)
{
    P.shm = s;
    P.set = set ? *set : SharedSettings{};
    P.wrote = false;
}

void protect_observe(int module, int event, int outcome, long micros)
{
    if (event == TALLIS_RESTART)
        stats_restart(P.shm, module);
    else if (event == TALLIS_GIVEN_UP)
        stats_given_up(P.shm, module);
    else
        stats_request(P.shm, module, event, outcome, micros);
    if (event == TALLIS_SET || event == TALLIS_DEL) P.wrote = true;
}

ProtectStep protect_before(ProtectReq *q, int op, const Session *s, const char *name,
                           const char *password, const char *addr, int step, char *reply, int size,
                           int *wait_ms)
{
    q->op = op;
    q->asked = false;
    q->keys.n = 0;
    if (!P.shm) return PROTECT_ASK;
    long now = shm_now();
    if (!addr || !*addr) addr = s->address;
    if (op == PROTECT_CHECK) {
        throttle_keys(P.shm, &P.set, s->uid, name, addr, &q->keys);
        int failures = 0;
        int wait = 0;
        if (step == 0)
            wait = throttle_check(P.shm, &P.set, &q->keys, now, &failures);
        else
            throttle_served(P.shm, &q->keys, now);
        if (wait < 0) {
            stats_count(P.shm, STAT_THROTTLED);
            scpy(reply, "-DEAD throttled, try again later", size);
            return PROTECT_ANSWER;
        }
        if (wait > 0) {
            stats_count(P.shm, STAT_THROTTLED);
            imsg("Throttled check of %s from %s: %d failures, waiting %d ms", name,
                 addr && *addr ? addr : "no address", failures, wait);
            *wait_ms = wait;
            return PROTECT_WAIT;
        }
    }
    q->asked = true;
    if (!caching()) return PROTECT_ASK;
    cache_key(P.shm, &q->key, op, s->uid, name, addr, op == PROTECT_CHECK ? password : nullptr);
    if (!cache_get(P.shm, &P.set, &q->key, now, reply, size)) {
        stats_count(P.shm, STAT_CACHE_MISSES);
        return PROTECT_ASK;
    }
    stats_count(P.shm, STAT_CACHE_HITS);
    q->asked = false;
    protect_after(q, reply);
    return PROTECT_ANSWER;
}

void protect_after(ProtectReq *q, const char *reply)
{
    if (!P.shm || !reply) return;
    long now = shm_now();
    if (q->asked && caching()) cache_put(P.shm, &P.set, &q->key, reply, now);
    if (q->op != PROTECT_CHECK || !q->keys.n) return;
    if (strncmp(reply, "-ERR", 4) == 0)
        throttle_failed(P.shm, &P.set, &q->keys, now);
    else if (reply[0] == '+')
        throttle_passed(P.shm, &q->keys);
}

void protect_end(void)
{
    if (!P.wrote || !P.shm) return;
    P.wrote = false;
    if (!cache_flush(P.shm)) emsg("Cannot empty the cache: its lock cannot be had");
}

int protect_flush(void)
{
    return cache_flush(P.shm);
}

void protect_stats(const std::function<void(const char *line)> &line)
{
    stats_write(P.shm, line);
}
