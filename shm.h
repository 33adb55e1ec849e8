// Shm: the memory a daemon's supervisor and workers share, its lock, the
// key of its keyed hashes, and the settings of what lives in it (failure
// throttling, the result cache, statistics).
//
// The region is an anonymous shared memory file (memfd) that the supervisor
// makes at its start, sized from the settings and fixed until a restart:
// the file is sealed against growing and shrinking, so no worker can make
// another's access to it fault. Workers are started anew (fork, then exec),
// so each finds the region on descriptor SHM_FD, maps it and closes the
// descriptor at once: nothing a worker starts (a module) can inherit it. A
// mapping is kept out of core dumps (MADV_DONTDUMP). Workers should also be
// undumpable (PR_SET_DUMPABLE 0), so that a module running as the same user
// cannot open the region through /proc.
//
// Layout: a header (magic, size, the parts' sizes, the hash key, the start
// time, the lock), then the parts in the order of SHM_THROTTLE, SHM_CACHE,
// SHM_STATS, each at a 64-byte boundary. The region holds offsets (entry
// numbers), never pointers. Each process reads the header once, when it
// makes or maps the region, and keeps its own copy of the layout and the
// key: a worker that later writes over the header changes nothing for the
// others, and the supervisor writes the header back from its own copy
// before every worker it starts (shm_pass).
//
// The key (random, made with the region) is the key of every keyed hash of
// names, addresses and passwords kept in the region: the region holds no
// name, address or password, only their keyed hashes. It reaches workers in
// the region itself, never through a file, the environment or a command line.
//
// The lock: one robust, process-shared, error-checking mutex in the header,
// held for a table operation only (microseconds; never across a module's
// answer). When its holder dies, the next taker gets EOWNERDEAD: the lock
// is made consistent, the death counted (shm_deaths), and each table,
// seeing the count change when it is next opened, empties itself, since
// the dead holder may have left it half changed (statistics are plain
// atomic counters and stay). A lock that cannot be taken within WaitMs (a
// holder that is stopped, or lock bytes that a faulty worker overwrote) is
// made anew and counted the same way, and so is a lock whose type field no
// longer reads as the one made. Every index read from the region is checked
// by the tables before use, so bytes written over the region make entries
// vanish, never a crash or an endless walk.
#ifndef SHM_H
#define SHM_H

#include <cstddef>
#include <cstdint>
#include <sodium/crypto_generichash.h>

// The descriptor a worker finds the region on (after its channel and its
// configuration, worker.h).
inline constexpr int SHM_FD = 5;
// Bytes of a keyed hash (BLAKE2b, 128 bits).
inline constexpr int SHM_DIGEST = 16;
// Bytes of the hash key.
inline constexpr int SHM_KEY = 32;
// Most client networks in fail_exempt.
inline constexpr int SHM_EXEMPT = 32;

// The parts of the region, in their order.
enum { SHM_THROTTLE, SHM_CACHE, SHM_STATS, SHM_PARTS };

// A network of fail_exempt: an IPv4 (family 4) or IPv6 (family 6) address
// and the number of leading bits that must match.
struct shm_net {
    int family;
    int bits;
    unsigned char addr[16];
};
typedef struct shm_net ShmNet;

// The settings of failure throttling and the result cache, filled by the
// caller from its configuration (fail_exempt through throttle_exempt). The
// sizes (fail_entries, cache_entries) are those of the region when it is
// made; the others are read at every call and may change with a reload.
struct shared_settings {
    int fail_window;           // seconds over which failures count; below 1: no throttling
    int fail_limit;            // failures from one address before its checks wait; 0: off
    int user_fail_limit;       // failures of one user name before its checks wait; 0: off
    int fail_delay;            // ms of the first wait, doubled per failure past the limit
    int fail_entries;          // most addresses and names counted at once
    int cache_ttl;             // seconds an answer "+..." is given from the cache; 0: off
    int cache_negative_ttl;    // seconds an answer "-ERR ..." is; 0: off
    int cache_entries;         // most answers kept at once
    int exempt_count;          // networks in exempt
    ShmNet exempt[SHM_EXEMPT]; // addresses never counted nor made to wait
};
typedef struct shared_settings SharedSettings;

// One part's size: its entries (tables) and its bytes.
struct shm_part_size {
    uint32_t count;
    size_t bytes;
};
typedef struct shm_part_size ShmPart;

struct shm_head;

// A process's view of the region.
struct shm {
    int fd;                     // the memfd (supervisor), else -1
    unsigned char *base;        // the mapping
    size_t size;                // its bytes
    struct shm_head *head;      // the header, at base
    size_t off[SHM_PARTS];      // where each part begins
    ShmPart part[SHM_PARTS];    // each part's size, as read at the start
    unsigned char key[SHM_KEY]; // the hash key, as read at the start
    long started;               // shm_now() when the region was made
    int wait_ms;                // how long shm_lock waits before making the lock anew
};
typedef struct shm Shm;

// Milliseconds of the system's monotonic clock, the same in every process
// of the host: the time every caller hands to the tables.
long shm_now(void);

// Makes a region with the parts' sizes (each part's *_part function says
// them). Null, with the reason in why (size bytes; may be null), when the
// memory cannot be had or libsodium cannot start. Free it with shm_free.
Shm *shm_create(const ShmPart parts[SHM_PARTS], char *why, int size);
// Maps the region on fd, made by shm_create in another process, and closes
// fd whatever the outcome. Null, with the reason, when fd holds no sound
// region (its header is checked against the file's size).
Shm *shm_attach(int fd, char *why, int size);
// In a child between fork and exec: writes the header back from this
// process's copy and puts the region on descriptor target without
// close-on-exec. Calls only what may be called after fork. 1, or 0 when the
// descriptor cannot be placed.
int shm_pass(const Shm *s, int target);
// Unmaps the region, closes its descriptor, frees *s and sets it to null.
void shm_free(Shm **s);

// Takes the region's lock; 1 when held. Never waits longer than about
// three times wait_ms; 0 (the caller goes on without the region) only when
// the lock could not be had even after making it anew.
int shm_lock(Shm *s);
void shm_unlock(Shm *s);
// Holds the lock for a scope: if (ShmLock l{s}) { ... }.
class ShmLock
{
  public:
    explicit ShmLock(Shm *s) : s_(s), held_(s && shm_lock(s)) {}
    ~ShmLock()
    {
        if (held_) shm_unlock(s_);
    }
    ShmLock(const ShmLock &) = delete;
    ShmLock &operator=(const ShmLock &) = delete;
    explicit operator bool() const { return held_; }

  private:
    Shm *s_;
    bool held_;
};
// How often a holder died or the lock was made anew since the region was
// made; read under the lock. A table that sees it change empties itself.
uint32_t shm_deaths(const Shm *s);
// Part p of the region (null when s is null), with its size in *size.
unsigned char *shm_part(const Shm *s, int p, ShmPart *size);

// Keyed hash (BLAKE2b with the region's key) of fields given one by one:
// shm_hash_start, shm_hash_add and shm_hash_text as often as needed, then
// shm_hash_end, which writes SHM_DIGEST bytes and wipes the state. Each
// field is added with its length, so no two lists of fields hash alike.
struct shm_hash {
    crypto_generichash_state state;
};
typedef struct shm_hash ShmHash;
void shm_hash_start(const Shm *s, ShmHash *h);
void shm_hash_add(ShmHash *h, const void *data, size_t len);
// Adds text (null as the empty text).
void shm_hash_text(ShmHash *h, const char *text);
void shm_hash_end(ShmHash *h, unsigned char out[SHM_DIGEST]);

#endif
