// Table: a bounded hash table of fixed-size entries in the shared region.
#include "table.h"

#include <cstring>

struct table_head {
    uint32_t used; // entries handed out so far; those past it were never used
    uint32_t free; // first free entry, number + 1; linked through hnext
    uint32_t first[TABLE_LISTS], last[TABLE_LISTS];
    uint32_t deaths;     // the region's death count when last seen
    uint64_t generation; // +1 at every reset
};

namespace
{

size_t stride_of(size_t data)
{
    return (sizeof(TableEntry) + data + 7) & ~size_t(7);
}

uint32_t chains_of(uint32_t count)
{
    uint32_t n = 1;
    while (n < count) n <<= 1;
    return n;
}

size_t head_bytes(void)
{
    return (sizeof(table_head) + 7) & ~size_t(7);
}

// Where the entries begin: after the head and the chain heads, aligned.
size_t entries_at(uint32_t count)
{
    return (head_bytes() + chains_of(count) * sizeof(uint32_t) + 7) & ~size_t(7);
}

// Entry number ref - 1, when ref names an entry handed out; else null.
TableEntry *at(const Table *t, uint32_t ref)
{
    uint32_t used = t->head->used < t->count ? t->head->used : t->count;
    if (ref == 0 || ref > used) return nullptr;
    return reinterpret_cast<TableEntry *>(t->entries + (ref - 1) * t->stride);
}

uint32_t ref_of(const Table *t, const TableEntry *e)
{
    return e ? static_cast<uint32_t>((reinterpret_cast<const unsigned char *>(e) - t->entries) /
                                     t->stride) +
                   1
             : 0;
}

uint32_t *chain_of(const Table *t, const unsigned char key[SHM_DIGEST])
{
    uint32_t h;
    memcpy(&h, key, sizeof h);
    return &t->chains[h & t->mask];
}

bool live(const TableEntry *e)
{
    return e->list < TABLE_LISTS;
}

// Takes e out of its list (one whose list number is bad is in none).
void unlist(Table *t, TableEntry *e)
{
    if (!live(e)) return;
    uint32_t self = ref_of(t, e);
    TableEntry *p = at(t, e->prev), *n = at(t, e->next);
    uint32_t *first = &t->head->first[e->list], *last = &t->head->last[e->list];
    if (p && p->next == self)
        p->next = ref_of(t, n);
    else if (*first == self)
        *first = ref_of(t, n);
    if (n && n->prev == self)
        n->prev = ref_of(t, p);
    else if (*last == self)
        *last = ref_of(t, p);
    e->prev = e->next = 0;
    e->list = TABLE_LISTS;
}

void enlist(Table *t, TableEntry *e, int list)
{
    uint32_t self = ref_of(t, e);
    TableEntry *tail = at(t, t->head->last[list]);
    e->prev = ref_of(t, tail);
    e->next = 0;
    e->list = static_cast<uint32_t>(list);
    if (tail)
        tail->next = self;
    else
        t->head->first[list] = self;
    t->head->last[list] = self;
}

// Takes e out of its chain, when it can be found there.
void unchain(Table *t, TableEntry *e)
{
    uint32_t *link = chain_of(t, e->key);
    for (int i = 0; i < TABLE_CHAIN; i++) {
        TableEntry *c = at(t, *link);
        if (!c) return;
        if (c == e) {
            *link = at(t, e->hnext) ? e->hnext : 0;
            e->hnext = 0;
            return;
        }
        link = &c->hnext;
    }
}

// A place for a new entry, out of every chain and list.
TableEntry *take_place(Table *t)
{
    table_head *h = t->head;
    if (TableEntry *e = at(t, h->free)) {
        if (!live(e)) {
            h->free = e->hnext;
            return e;
        }
        h->free = 0; // a free list leading to a live entry: dropped
    }
    if (h->used < t->count) return at(t, ++h->used);
    for (int l = 0; l < TABLE_LISTS; l++)
        if (TableEntry *e = at(t, h->first[l]); e && live(e)) {
            unchain(t, e);
            unlist(t, e);
            return e;
        }
    table_reset(t); // no list leads to an entry: broken, emptied
    return at(t, ++h->used);
}

} // namespace

ShmPart table_part(uint32_t count, size_t data)
{
    if (count > TABLE_MAX) count = TABLE_MAX;
    return {count, entries_at(count) + count * stride_of(data)};
}

int table_open(Table *t, Shm *s, int p, size_t data)
{
    ShmPart size;
    unsigned char *base = shm_part(s, p, &size);
    if (!base || size.count == 0 || size.count > TABLE_MAX ||
        size.bytes < table_part(size.count, data).bytes)
        return 0;
    t->head = reinterpret_cast<table_head *>(base);
    t->chains = reinterpret_cast<uint32_t *>(base + head_bytes());
    t->count = size.count;
    t->mask = chains_of(size.count) - 1;
    t->entries = base + entries_at(size.count);
    t->stride = stride_of(data);
    if (t->head->deaths != shm_deaths(s)) {
        table_reset(t);
        t->head->deaths = shm_deaths(s);
    }
    return 1;
}

TableEntry *table_find(Table *t, const unsigned char key[SHM_DIGEST])
{
    uint32_t *link = chain_of(t, key);
    for (int i = 0; i < TABLE_CHAIN; i++) {
        TableEntry *e = at(t, *link);
        if (!e || !live(e)) break;
        if (!memcmp(e->key, key, SHM_DIGEST)) return e;
        link = &e->hnext;
    }
    *link = 0; // the end, a bad link, or the cut of a chain too long
    return nullptr;
}

TableEntry *table_add(Table *t, const unsigned char key[SHM_DIGEST], int list)
{
    TableEntry *e = take_place(t);
    if (!e) return nullptr;
    memset(e, 0, t->stride);
    memcpy(e->key, key, SHM_DIGEST);
    uint32_t *chain = chain_of(t, key);
    e->hnext = *chain;
    *chain = ref_of(t, e);
    enlist(t, e, list);
    return e;
}

void table_touch(Table *t, TableEntry *e, int list)
{
    unlist(t, e);
    enlist(t, e, list);
}

void table_remove(Table *t, TableEntry *e)
{
    unchain(t, e);
    unlist(t, e);
    e->hnext = t->head->free;
    t->head->free = ref_of(t, e);
}

void table_reset(Table *t)
{
    uint64_t generation = t->head->generation + 1;
    uint32_t deaths = t->head->deaths;
    memset(t->head, 0, sizeof *t->head);
    t->head->generation = generation;
    t->head->deaths = deaths;
    memset(t->chains, 0, (t->mask + 1) * sizeof(uint32_t));
}

uint64_t table_generation(const Table *t)
{
    return t->head->generation;
}
