// Shm: the shared region, its lock and its keyed hash.
#include "shm.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "adt/lib.h"
#include "adt/log.h"

using namespace adt;

struct shm_head {
    uint64_t magic;
    uint64_t size;
    ShmPart part[SHM_PARTS];
    unsigned char key[SHM_KEY];
    int64_t started;
    uint32_t deaths;
    alignas(64) pthread_mutex_t lock;
};

namespace
{

const uint64_t MAGIC = 0x31656e6176726f63; // "corvane1"
// Most bytes of a region: sizes past it are a setting's mistake.
const size_t MAX_BYTES = size_t(4) << 30;
const int WAIT_MS = 2000;

size_t round64(size_t n)
{
    return (n + 63) & ~size_t(63);
}

// Works out where each part begins; the region's size, or 0 when the parts
// do not fit MAX_BYTES.
size_t lay_out(Shm *s, const ShmPart parts[SHM_PARTS])
{
    size_t at = round64(sizeof(shm_head));
    for (int i = 0; i < SHM_PARTS; i++) {
        if (parts[i].bytes > MAX_BYTES - at) return 0;
        s->off[i] = at;
        s->part[i] = parts[i];
        at = round64(at + parts[i].bytes);
    }
    return at <= MAX_BYTES ? at : 0;
}

int map_region(Shm *s, int fd, size_t size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return 0;
    madvise(p, size, MADV_DONTDUMP);
    s->base = static_cast<unsigned char *>(p);
    s->size = size;
    s->head = reinterpret_cast<shm_head *>(p);
    return 1;
}

void init_lock(pthread_mutex_t *m)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
}

// 1 when the lock's type field still reads as the one init_lock makes: a
// lock of another type (bytes written over it) could block for ever or
// take a path that follows its pointers.
bool lock_looks_sound(const pthread_mutex_t *m)
{
#ifdef __GLIBC__
    static const int kind = [] {
        pthread_mutex_t t;
        init_lock(&t);
        int k = t.__data.__kind;
        pthread_mutex_destroy(&t);
        return k;
    }();
    return m->__data.__kind == kind;
#else
    (void)m;
    return true;
#endif
}

void remake_lock(Shm *s, const char *why)
{
    emsg("Shared memory: %s; the lock is made anew and the failure counts and the cache "
         "emptied",
         why);
    init_lock(&s->head->lock);
    s->head->deaths++;
}

void fail(char *why, int size, const char *what)
{
    lprintf(why, size, "%s: %s", what, strerror(errno));
}

Shm *new_shm(void)
{
    Shm *s = new Shm{};
    s->fd = -1;
    s->wait_ms = WAIT_MS;
    return s;
}

} // namespace

long shm_now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

Shm *shm_create(const ShmPart parts[SHM_PARTS], char *why, int size)
{
    if (sodium_init() < 0) {
        lprintf(why, size, "cannot start libsodium");
        return nullptr;
    }
    Shm *s = new_shm();
    size_t bytes = lay_out(s, parts);
    if (!bytes) {
        lprintf(why, size, "shared memory of more than %zu bytes", MAX_BYTES);
        shm_free(&s);
        return nullptr;
    }
    s->fd = memfd_create("corvane-shared", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (s->fd < 0 || ftruncate(s->fd, static_cast<off_t>(bytes)) != 0 ||
        fcntl(s->fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0 ||
        !map_region(s, s->fd, bytes)) {
        fail(why, size, "cannot make shared memory");
        shm_free(&s);
        return nullptr;
    }
    randombytes_buf(s->key, sizeof s->key);
    s->started = shm_now();
    shm_head *h = s->head;
    h->magic = MAGIC;
    h->size = bytes;
    memcpy(h->part, s->part, sizeof h->part);
    memcpy(h->key, s->key, sizeof h->key);
    h->started = s->started;
    init_lock(&h->lock);
    return s;
}

Shm *shm_attach(int fd, char *why, int size)
{
    Shm *s = new_shm();
    struct stat st;
    if (sodium_init() < 0 || fstat(fd, &st) != 0 ||
        st.st_size < static_cast<off_t>(sizeof(shm_head)) ||
        static_cast<uint64_t>(st.st_size) > MAX_BYTES ||
        !map_region(s, fd, static_cast<size_t>(st.st_size))) {
        fail(why, size, "cannot map the shared memory");
        close(fd);
        shm_free(&s);
        return nullptr;
    }
    close(fd);
    shm_head h; // one read of the header, checked, then kept
    memcpy(static_cast<void *>(&h), s->head, sizeof h);
    if (h.magic != MAGIC || h.size != s->size || lay_out(s, h.part) != s->size) {
        lprintf(why, size, "the shared memory does not hold a sound region");
        shm_free(&s);
        return nullptr;
    }
    memcpy(s->key, h.key, sizeof s->key);
    s->started = static_cast<long>(h.started);
    sodium_memzero(&h, sizeof h);
    return s;
}

int shm_pass(const Shm *s, int target)
{
    if (!s || s->fd < 0) return 0;
    shm_head *h = s->head;
    h->magic = MAGIC;
    h->size = s->size;
    memcpy(h->part, s->part, sizeof h->part);
    memcpy(h->key, s->key, sizeof h->key);
    h->started = s->started;
    if (s->fd != target && dup2(s->fd, target) < 0) return 0;
    return fcntl(target, F_SETFD, 0) == 0;
}

void shm_free(Shm **s)
{
    if (!s || !*s) return;
    if ((*s)->base) munmap((*s)->base, (*s)->size);
    if ((*s)->fd >= 0) close((*s)->fd);
    sodium_memzero((*s)->key, sizeof(*s)->key);
    delete *s;
    *s = nullptr;
}

int shm_lock(Shm *s)
{
    if (!s || !s->head) return 0;
    pthread_mutex_t *m = &s->head->lock;
    if (!lock_looks_sound(m)) remake_lock(s, "its lock was overwritten");
    for (int tries = 0; tries < 3; tries++) {
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += s->wait_ms / 1000;
        until.tv_nsec += (s->wait_ms % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) until.tv_sec++, until.tv_nsec -= 1000000000L;
        int e = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &until);
        if (e == 0) return 1;
        if (e == EOWNERDEAD) {
            pthread_mutex_consistent(m);
            s->head->deaths++;
            emsg("Shared memory: a process ended while it held the lock; the failure counts "
                 "and the cache are emptied");
            return 1;
        }
        remake_lock(s, e == ETIMEDOUT ? "its lock was not free within the wait"
                                      : "its lock was unusable");
    }
    return 0;
}

void shm_unlock(Shm *s)
{
    if (s && s->head) pthread_mutex_unlock(&s->head->lock);
}

uint32_t shm_deaths(const Shm *s)
{
    return s && s->head ? s->head->deaths : 0;
}

unsigned char *shm_part(const Shm *s, int p, ShmPart *size)
{
    if (!s || !s->base || p < 0 || p >= SHM_PARTS) return nullptr;
    if (size) *size = s->part[p];
    return s->base + s->off[p];
}

void shm_hash_start(const Shm *s, ShmHash *h)
{
    crypto_generichash_init(&h->state, s->key, sizeof s->key, SHM_DIGEST);
}

void shm_hash_add(ShmHash *h, const void *data, size_t len)
{
    uint32_t n = static_cast<uint32_t>(len);
    crypto_generichash_update(&h->state, reinterpret_cast<const unsigned char *>(&n), sizeof n);
    crypto_generichash_update(&h->state, static_cast<const unsigned char *>(data), len);
}

void shm_hash_text(ShmHash *h, const char *text)
{
    shm_hash_add(h, text ? text : "", text ? strlen(text) : 0);
}

void shm_hash_end(ShmHash *h, unsigned char out[SHM_DIGEST])
{
    crypto_generichash_final(&h->state, out, SHM_DIGEST);
    sodium_memzero(&h->state, sizeof h->state);
}
