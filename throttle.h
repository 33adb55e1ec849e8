// Throttle: failed checks counted per client address and per user name,
// and the wait they impose on the next checks, shared by a daemon's workers.
//
// What is counted: a check answered "-ERR" (a refusal; never "-DEAD", so an
// outage throttles nobody) is one failure of its client address and, when
// user_fail_limit is set, of its user name. Each count is kept apart per
// peer uid, so one client program cannot throttle another's logins. An
// IPv6 address counts by its /64 (an IPv4 address mapped into IPv6 as the
// IPv4 address), any other address text as it is. Addresses in fail_exempt
// are neither counted nor throttled (their users still are); a check
// without an address counts per user only.
//
// The wait: once a key (address or user) has its limit of failures in the
// window (fail_limit, user_fail_limit), every check of that key waits
// before its modules are asked, right password or not: fail_delay ms, doubled
// for each failure past the limit, at most THROTTLE_MAX_MS. One check per
// throttled key waits at a time; another that comes meanwhile is refused
// (the caller answers "-DEAD throttled, try again later"). A right password
// clears the user's count, never the address's.
//
// The sliding window: each key keeps its failures in THROTTLE_STEPS counts
// of one step each, a step being fail_window / (THROTTLE_STEPS - 1) seconds
// rounded up; the count is the sum over the last THROTTLE_STEPS steps, so a
// failure counts for at least fail_window seconds and at most a seventh
// longer. Old steps are zeroed when the key is next counted; nothing runs
// in the background.
//
// Memory: one table (table.h) of fail_entries entries of 64 bytes, keyed by
// the keyed hash of (kind, peer uid, address or name): no name or address
// is kept. List 0 holds the keys under their limit, list 1 those at or over
// it, each oldest failure first, so a full table drops keys under their
// limit before keys over it, oldest first. A key's list is set when it is
// counted; one whose failures age out below its limit moves back to list 0
// at its next failure.
//
// Every function goes on without the region (no throttling) when the lock
// cannot be had; times are shm_now() milliseconds.
#ifndef THROTTLE_H
#define THROTTLE_H

#include "shm.h"

inline constexpr int THROTTLE_MAX_MS = 15000;
inline constexpr int THROTTLE_STEPS = 8;
// A wait that ends within this many ms is taken as ended (throttle_served).
inline constexpr int THROTTLE_SLACK_MS = 10;

// The keys of one check, worked out once and used for its decision and
// its outcome.
struct throttle_keyset {
    int n; // keys in use, 0 to 2
    struct {
        unsigned char digest[SHM_DIGEST];
        int user; // 1: a user name's, 0: an address's
    } key[2];
};
typedef struct throttle_keyset ThrottleKeys;

// The size of the throttle's part of the region.
ShmPart throttle_part(const SharedSettings *set);
// Reads the fail_exempt list into set: addresses and CIDR networks
// ("127.0.0.0/8", "::1", "2001:db8::/32"), separated by blanks or commas.
// 1 when all were read; 0 with the first bad word in why ("fail_exempt:
// 'WORD' is not an address or network"), the words before it kept.
int throttle_exempt(SharedSettings *set, const char *list, char *why, int size);
// The keys counted for a check by peer uid of name (may be null) from addr
// (null or empty: none) under set.
void throttle_keys(const Shm *s, const SharedSettings *set, unsigned int uid, const char *name,
                   const char *addr, ThrottleKeys *k);
// Before a check's modules are asked: 0 to go on at once; N > 0 to wait N
// ms first (the key is marked waiting until then); -1 when a check of a
// throttled key is already waiting (refuse this one). *failures (may be
// null) gets the failures of the key that imposes the wait, else 0.
int throttle_check(Shm *s, const SharedSettings *set, const ThrottleKeys *k, long now,
                   int *failures);
// A check that waited is served now: its keys' waits are over, even when
// it was handed back up to THROTTLE_SLACK_MS early (times in whole ms are
// rounded on the way), so that the next check of the key is judged anew
// rather than refused as one that comes while another waits.
void throttle_served(Shm *s, const ThrottleKeys *k, long now);
// After a check answered "-ERR" (also from the negative cache): counts a
// failure of each key. The most failures a key now has.
int throttle_failed(Shm *s, const SharedSettings *set, const ThrottleKeys *k, long now);
// After a check answered "+...": clears the user's count.
void throttle_passed(Shm *s, const ThrottleKeys *k);

#endif
