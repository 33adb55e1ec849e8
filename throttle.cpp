// Throttle: failures counted per address and user, and the waits they impose.
#include "throttle.h"

#include <arpa/inet.h>
#include <cstring>

#include "adt/lib.h"
#include "table.h"

using namespace adt;

namespace
{

struct fail_data {
    int64_t wait_until; // ms until which a check of this key is waiting
    uint32_t step;      // the newest step; n[s % THROTTLE_STEPS] counts step s
    uint16_t n[THROTTLE_STEPS];
};

enum { UNDER = 0, OVER = 1 };

// The address of text in a (16 bytes): 4 for IPv4 (an IPv4-mapped IPv6
// address too), 6 for IPv6, 0 for anything else.
int parse_address(const char *text, unsigned char *a)
{
    if (inet_pton(AF_INET, text, a) == 1) return 4;
    if (inet_pton(AF_INET6, text, a) != 1) return 0;
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(a, mapped, sizeof mapped)) return 6;
    memmove(a, a + 12, 4);
    return 4;
}

bool exempt(const SharedSettings *set, int family, const unsigned char *a)
{
    for (int i = 0; i < set->exempt_count && i < SHM_EXEMPT; i++) {
        const ShmNet &net = set->exempt[i];
        int bytes = net.bits / 8, rest = net.bits % 8;
        if (net.family != family || memcmp(net.addr, a, bytes)) continue;
        if (rest == 0 || !((net.addr[bytes] ^ a[bytes]) & (0xff00 >> rest))) return true;
    }
    return false;
}

void digest(const Shm *s, char kind, unsigned int uid, const void *data, size_t len,
            unsigned char *out)
{
    ShmHash h;
    shm_hash_start(s, &h);
    shm_hash_add(&h, &kind, 1);
    shm_hash_add(&h, &uid, sizeof uid);
    shm_hash_add(&h, data, len);
    shm_hash_end(&h, out);
}

long step_ms(const SharedSettings *set)
{
    long window = set->fail_window > 0 ? set->fail_window * 1000L : 1;
    return (window + THROTTLE_STEPS - 2) / (THROTTLE_STEPS - 1);
}

// Failures in the window ending with step cur.
int failures(const fail_data *d, uint32_t cur)
{
    uint32_t age = cur - d->step;
    if (d->step > cur || age >= THROTTLE_STEPS) return 0;
    int sum = 0;
    for (uint32_t k = 0; k < THROTTLE_STEPS - age; k++) sum += d->n[(d->step - k) % THROTTLE_STEPS];
    return sum;
}

// Moves the newest step to cur, zeroing the steps in between (all of them
// for a step in the future: bytes written over the entry).
void advance(fail_data *d, uint32_t cur)
{
    if (d->step > cur || cur - d->step >= THROTTLE_STEPS)
        memset(d->n, 0, sizeof d->n);
    else
        for (uint32_t s = d->step + 1; s <= cur; s++) d->n[s % THROTTLE_STEPS] = 0;
    d->step = cur;
}

int limit_of(const SharedSettings *set, int user)
{
    return user ? set->user_fail_limit : set->fail_limit;
}

// The wait for a key with count failures, at or past its limit.
int delay(const SharedSettings *set, int count, int limit)
{
    long ms = set->fail_delay > 0 ? set->fail_delay : 0;
    for (int past = count - limit; past > 0 && ms < THROTTLE_MAX_MS; past--) ms *= 2;
    return static_cast<int>(ms < THROTTLE_MAX_MS ? ms : THROTTLE_MAX_MS);
}

bool open_table(Table *t, Shm *s)
{
    return table_open(t, s, SHM_THROTTLE, sizeof(fail_data));
}

} // namespace

ShmPart throttle_part(const SharedSettings *set)
{
    int n = set && set->fail_entries > 0 ? set->fail_entries : 0;
    return table_part(static_cast<uint32_t>(n), sizeof(fail_data));
}

int throttle_exempt(SharedSettings *set, const char *list, char *why, int size)
{
    set->exempt_count = 0;
    char words[1000];
    scpy(words, list, sizeof words);
    char *upto = words;
    while (char *word = s_strtok(nullptr, " \t,", &upto)) {
        char *slash = strchr(word, '/'), *end = nullptr;
        if (slash) *slash = 0;
        ShmNet net = {};
        net.family = parse_address(word, net.addr);
        net.bits = net.family == 4 ? 32 : 128;
        long bits = slash ? strtol(slash + 1, &end, 10) : net.bits;
        if (slash) *slash = '/';
        if (!net.family || (slash && (end == slash + 1 || *end)) || bits < 0 || bits > net.bits) {
            lprintf(why, size, "fail_exempt: '%s' is not an address or network", word);
            return 0;
        }
        if (set->exempt_count == SHM_EXEMPT) {
            lprintf(why, size, "fail_exempt: more than %d networks", SHM_EXEMPT);
            return 0;
        }
        net.bits = static_cast<int>(bits);
        set->exempt[set->exempt_count++] = net;
    }
    return 1;
}

void throttle_keys(const Shm *s, const SharedSettings *set, unsigned int uid, const char *name,
                   const char *addr, ThrottleKeys *k)
{
    k->n = 0;
    if (!s || !set || set->fail_window < 1) return;
    unsigned char a[16];
    if (set->fail_limit > 0 && addr && *addr) {
        int family = parse_address(addr, a);
        if (!family || !exempt(set, family, a)) {
            if (family == 4)
                digest(s, '4', uid, a, 4, k->key[k->n].digest);
            else if (family == 6)
                digest(s, '6', uid, a, 8, k->key[k->n].digest);
            else
                digest(s, 't', uid, addr, strlen(addr), k->key[k->n].digest);
            k->key[k->n++].user = 0;
        }
    }
    if (set->user_fail_limit > 0 && name) {
        digest(s, 'u', uid, name, strlen(name), k->key[k->n].digest);
        k->key[k->n++].user = 1;
    }
}

int throttle_check(Shm *s, const SharedSettings *set, const ThrottleKeys *k, long now,
                   int *failures_out)
{
    if (failures_out) *failures_out = 0;
    if (!k || k->n == 0) return 0;
    ShmLock lock(s);
    Table t;
    if (!lock || !open_table(&t, s)) return 0;
    uint32_t cur = static_cast<uint32_t>(now / step_ms(set));
    fail_data *throttled[2] = {};
    int waits[2] = {}, wait = 0;
    for (int i = 0; i < k->n && i < 2; i++) {
        TableEntry *e = table_find(&t, k->key[i].digest);
        if (!e) continue;
        fail_data *d = static_cast<fail_data *>(table_data(e));
        int count = failures(d, cur), limit = limit_of(set, k->key[i].user);
        if (count < limit) continue;
        // Another check of this key waits (a time past the longest wait is
        // bytes written over the entry, not a wait).
        if (d->wait_until > now && d->wait_until <= now + THROTTLE_MAX_MS) return -1;
        throttled[i] = d;
        waits[i] = delay(set, count, limit);
        if (waits[i] >= wait && failures_out) *failures_out = count;
        if (waits[i] > wait) wait = waits[i];
    }
    for (int i = 0; i < 2; i++)
        if (throttled[i]) throttled[i]->wait_until = now + waits[i];
    return wait;
}

void throttle_served(Shm *s, const ThrottleKeys *k, long now)
{
    if (!k || k->n == 0) return;
    ShmLock lock(s);
    Table t;
    if (!lock || !open_table(&t, s)) return;
    for (int i = 0; i < k->n && i < 2; i++) {
        TableEntry *e = table_find(&t, k->key[i].digest);
        fail_data *d = e ? static_cast<fail_data *>(table_data(e)) : nullptr;
        if (d && d->wait_until > now && d->wait_until <= now + THROTTLE_SLACK_MS)
            d->wait_until = now;
    }
}

int throttle_failed(Shm *s, const SharedSettings *set, const ThrottleKeys *k, long now)
{
    if (!k || k->n == 0) return 0;
    ShmLock lock(s);
    Table t;
    if (!lock || !open_table(&t, s)) return 0;
    uint32_t cur = static_cast<uint32_t>(now / step_ms(set));
    int most = 0;
    for (int i = 0; i < k->n && i < 2; i++) {
        TableEntry *e = table_find(&t, k->key[i].digest);
        if (!e) e = table_add(&t, k->key[i].digest, UNDER);
        fail_data *d = static_cast<fail_data *>(table_data(e));
        advance(d, cur);
        uint16_t &n = d->n[cur % THROTTLE_STEPS];
        if (n < UINT16_MAX) n++;
        int count = failures(d, cur);
        table_touch(&t, e, count >= limit_of(set, k->key[i].user) ? OVER : UNDER);
        if (count > most) most = count;
    }
    return most;
}

void throttle_passed(Shm *s, const ThrottleKeys *k)
{
    // The user's key, when there is one, comes last.
    if (!k || k->n < 1 || k->n > 2 || !k->key[k->n - 1].user) return;
    int user = k->n - 1;
    ShmLock lock(s);
    Table t;
    if (!lock || !open_table(&t, s)) return;
    if (TableEntry *e = table_find(&t, k->key[user].digest)) table_remove(&t, e);
}
