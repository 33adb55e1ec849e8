// Cache: answers of lookups and checks kept for a while, shared by a
// daemon's workers, so that a repeated request is answered without asking
// a module.
//
// What is kept: the reply line of a lookup or check, "+..." for cache_ttl
// seconds and "-ERR ..." for cache_negative_ttl seconds; never "-DEAD" or
// any other reply, and never a reply of CACHE_REPLY characters or more
// (it is asked of the modules every time). The key is the keyed hash
// (shm.h) of the operation, the name, the client address, the peer uid and,
// for a check, the password: neither the password nor a plain hash of it is
// kept, and a lookup never answers a check.
//
// Emptied as a whole (cache_flush) after a set or del and on a writer's
// flush command. A check that was asked of the modules before a flush and
// answered after it must not put the old answer back: cache_get records the
// cache's generation in the key, and cache_put keeps nothing once the
// generation moved on.
//
// Memory: one table (table.h) of cache_entries entries of 280 bytes,
// least recently used dropped first (list 0, every hit moves an entry last).
// An entry that expired is dropped when it is next met; one whose time or
// reply does not read as sound (bytes written over it), or whose time is
// further off than the current settings allow (a reload shortened them),
// is dropped the same way.
//
// Every function goes on without the region (a miss, nothing kept) when the
// lock cannot be had; times are shm_now() milliseconds.
#ifndef CACHE_H
#define CACHE_H

#include <cstdint>

#include "shm.h"

inline constexpr int CACHE_REPLY = 240;

struct cache_id {
    unsigned char digest[SHM_DIGEST];
    uint64_t generation; // the cache's generation at the miss; unknown until cache_get
};
typedef struct cache_id CacheKey;

// The size of the cache's part of the region.
ShmPart cache_part(const SharedSettings *set);
// The key of a request: op tells lookups from checks (the front end's
// mode: MODE_LOOKUP, MODE_CHECK), uid is the peer's, name, addr and (for a
// check) password may each be null.
void cache_key(const Shm *s, CacheKey *k, int op, unsigned int uid, const char *name,
               const char *addr, const char *password);
// 1 with the kept reply in reply (size bytes) when there is one for k;
// else 0 (a reply longer than size counts as none), recording in k the
// generation that cache_put checks.
int cache_get(Shm *s, const SharedSettings *set, CacheKey *k, long now, char *reply, int size);
// Keeps reply for k when it is one to keep and the cache was not emptied
// since cache_get missed k. 1 when kept.
int cache_put(Shm *s, const SharedSettings *set, const CacheKey *k, const char *reply, long now);
// Empties the cache. 0 only when the lock could not be had.
int cache_flush(Shm *s);

#endif
