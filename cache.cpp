// Cache: lookup and check answers kept for a while in the shared region.
#include "cache.h"

#include <cstring>

#include "table.h"

namespace
{

const uint64_t UNKNOWN = UINT64_MAX;

struct answer {
    int64_t expires; // ms
    char reply[CACHE_REPLY];
};

// How long a reply is kept under set, in ms; 0: not kept.
long ttl_ms(const SharedSettings *set, const char *reply)
{
    int seconds = 0;
    if (reply[0] == '+')
        seconds = set->cache_ttl;
    else if (!strncmp(reply, "-ERR", 4))
        seconds = set->cache_negative_ttl;
    return seconds > 0 ? seconds * 1000L : 0;
}

// 1 when the answer reads as one that cache_put kept and may still give.
bool sound(const SharedSettings *set, const answer *a, long now)
{
    if (!memchr(a->reply, 0, sizeof a->reply)) return false;
    long ttl = ttl_ms(set, a->reply);
    return a->expires > now && a->expires <= now + ttl;
}

bool open_table(Table *t, Shm *s)
{
    return table_open(t, s, SHM_CACHE, sizeof(answer));
}

bool caching(const SharedSettings *set)
{
    return set && (set->cache_ttl > 0 || set->cache_negative_ttl > 0);
}

} // namespace

ShmPart cache_part(const SharedSettings *set)
{
    int n = set && set->cache_entries > 0 ? set->cache_entries : 0;
    return table_part(static_cast<uint32_t>(n), sizeof(answer));
}

void cache_key(const Shm *s, CacheKey *k, int op, unsigned int uid, const char *name,
               const char *addr, const char *password)
{
    k->generation = UNKNOWN;
    if (!s) return;
    ShmHash h;
    shm_hash_start(s, &h);
    shm_hash_add(&h, &op, sizeof op);
    shm_hash_add(&h, &uid, sizeof uid);
    shm_hash_text(&h, name);
    shm_hash_text(&h, addr);
    shm_hash_text(&h, password);
    shm_hash_end(&h, k->digest);
}

int cache_get(Shm *s, const SharedSettings *set, CacheKey *k, long now, char *reply, int size)
{
    if (!caching(set) || !k) return 0;
    ShmLock lock(s);
    Table t;
    if (!lock || !open_table(&t, s)) return 0;
    k->generation = table_generation(&t);
    TableEntry *e = table_find(&t, k->digest);
    if (!e) return 0;
    const answer *a = static_cast<answer *>(table_data(e));
    if (!sound(set, a, now)) {
        table_remove(&t, e);
        return 0;
    }
    size_t len = strlen(a->reply);
    if (!reply || size < 1 || len >= static_cast<size_t>(size)) return 0;
    memcpy(reply, a->reply, len + 1);
    table_touch(&t, e, 0);
    return 1;
}

int cache_put(Shm *s, const SharedSettings *set, const CacheKey *k, const char *reply, long now)
{
    if (!caching(set) || !k || !reply || k->generation == UNKNOWN) return 0;
    long ttl = ttl_ms(set, reply);
    size_t len = strlen(reply);
    if (!ttl || len >= CACHE_REPLY) return 0;
    ShmLock lock(s);
    Table t;
    if (!lock || !open_table(&t, s) || table_generation(&t) != k->generation) return 0;
    TableEntry *e = table_find(&t, k->digest);
    if (e)
        table_touch(&t, e, 0);
    else
        e = table_add(&t, k->digest, 0);
    answer *a = static_cast<answer *>(table_data(e));
    a->expires = now + ttl;
    memcpy(a->reply, reply, len + 1);
    return 1;
}

int cache_flush(Shm *s)
{
    ShmLock lock(s);
    Table t;
    if (!lock) return 0;
    if (open_table(&t, s)) table_reset(&t);
    return 1;
}
