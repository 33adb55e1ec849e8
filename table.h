// Table: a hash table of fixed-size entries in one part of the shared
// region, keyed by a keyed hash (SHM_DIGEST bytes), with a bounded number
// of entries and lists that say which entry goes first when it is full.
// The failure counts and the result cache are such tables.
//
// Layout of the part: a head (entries handed out so far, the free list,
// the first and last entry of each list, the death count last seen, the
// generation), then the chain heads (a power of two, at least the number of
// entries), then the entries. Every entry begins with a TableEntry (key,
// next entry of its chain, neighbours in its list, which list) followed by
// the caller's data. Entries are referred to by number plus one (0: none),
// never by address.
//
// All of it is reached under the region's lock, never allocates, and costs
// one keyed-hash probe: a chain is a few entries long, as the keys are
// keyed hashes an outsider cannot aim at one chain. Memory that zeroes
// reads as an empty table.
//
// Order of eviction: each entry is in one of TABLE_LISTS lists, oldest
// first; moving an entry to a list puts it last. A new entry in a full
// table takes the place of the first entry of list 0, else of list 1.
//
// Checks: every number read from the region is checked before it is
// followed; a chain is followed for at most TABLE_CHAIN entries and cut
// there, and a bad link ends a chain. Entries behind a bad link are lost
// (dropped, never followed); a table whose lists are so broken that no
// entry can be had is emptied. A table empties itself when the region's
// death count (shm_deaths) is not the one it last saw.
#ifndef TABLE_H
#define TABLE_H

#include <cstddef>
#include <cstdint>

#include "shm.h"

inline constexpr int TABLE_LISTS = 2;
inline constexpr int TABLE_CHAIN = 64;
// Most entries of a table.
inline constexpr uint32_t TABLE_MAX = 1u << 24;

struct table_entry {
    unsigned char key[SHM_DIGEST];
    uint32_t hnext;      // next entry of the chain (or of the free list), number + 1
    uint32_t prev, next; // neighbours in the entry's list, number + 1
    uint32_t list;       // the list it is in; TABLE_LISTS and above: free
};
typedef struct table_entry TableEntry;

struct table_head;

// A process's view of one table, valid while the lock is held.
struct table {
    struct table_head *head;
    uint32_t *chains;       // chain heads, mask + 1 of them
    unsigned char *entries; // count entries of stride bytes
    uint32_t count, mask;
    size_t stride;
};
typedef struct table Table;

// The part's size for count entries (cut to TABLE_MAX) of data bytes each.
ShmPart table_part(uint32_t count, size_t data);
// Opens part p of s as a table with data bytes per entry; the caller holds
// the lock. 0 when the part has no entries or does not fit them (there is
// then no table). Empties the table when a death was counted since.
int table_open(Table *t, Shm *s, int p, size_t data);
// The entry with key, or null.
TableEntry *table_find(Table *t, const unsigned char key[SHM_DIGEST]);
// A new entry with key, last in list, its data zeroed: a free entry, else
// one never used, else the first of list 0, else the first of list 1. Null
// only for a table without entries. The caller has made sure that no
// entry has key.
TableEntry *table_add(Table *t, const unsigned char key[SHM_DIGEST], int list);
// Moves e to the end of list.
void table_touch(Table *t, TableEntry *e, int list);
// Removes e; its place is free.
void table_remove(Table *t, TableEntry *e);
// Empties the table and counts a new generation.
void table_reset(Table *t);
// The generation: how often the table was emptied.
uint64_t table_generation(const Table *t);
// The data after e's TableEntry.
inline void *table_data(TableEntry *e)
{
    return e + 1;
}

#endif
