// SIni: the configuration store. A program describes its settings in a
// table of SIniTable rows (ended by a row whose Name is null); the store
// holds values for those rows in a global section and in named domains,
// loads them from an INI-style file and answers lookups that fall back
// from a domain to the global section, to the row's default and then along
// the row's fallback chain.
//
// File format: one setting per line, "label value"; the label is matched
// ignoring ASCII case and the value is the rest of the line after the one
// blank that ended the label, kept verbatim. Lines whose first word begins
// with "#" are comments. A line "<keyword> <name>" opens (or reopens) the
// domain <name>; names are compared exactly.
//
// Every text the store hands out belongs to the store and stays valid until
// the store is freed; callers neither change nor free it.
#ifndef ADT_SINI_H
#define ADT_SINI_H

#include "adt/array.h"

namespace adt
{

// Row modes (SIniTable.Mode): SM_NONE keeps one value per section, a later
// setting replacing the earlier; SM_MULTI keeps every setting, and lookups
// ask for the n-th with the count argument of sini_getx.
enum SIniRowMode { SM_NONE = 0, SM_MULTI = 1 };

// One row of a program's settings table. The store never changes or frees
// a table, so a program can write it as a static initialiser.
struct sini_table {
    int Id;              // identifier callers name the row by; unique
    const char *Name;    // label in the file, any letter case; null ends the table
    int Mode;            // SM_NONE or SM_MULTI
    const char *Default; // value when no section sets the row; may be null
    int Fallback;        // Id of the row consulted when Default is null; -1: none
    const char *Format;  // "VALUE" (or null or empty): one verbatim value;
                         // otherwise triples "part = x ..." naming the parts
};
typedef struct sini_table SIniTable;

// How a setting record holds its value.
enum SIniMode { SM_NORMAL = 0, SM_MULTIPART = 1 };

// One part of a multipart value.
struct sini_multi {
    char *Name;   // part name (owned)
    char *sValue; // part value (owned)
};
typedef struct sini_multi SIniMulti;

// One stored value of a row. Records live in the store's pool; sections
// refer to them, and equal values share one record.
struct sini_setting {
    SIniMode Mode; // SM_NORMAL: Value.sValue; SM_MULTIPART: Value.mValue
    int Id;        // the row it belongs to
    union {
        char *sValue; // the text (owned)
        Array mValue; // SIniMulti parts in order (owned, with the parts)
    } Value;
};
typedef struct sini_setting SIniSetting;

// A named section. Settings refers to pooled records in the order set.
struct sini_domain {
    Array Settings; // SIniSetting pointers (not owned)
    char *Name;     // the domain's name (owned)
};
typedef struct sini_domain SIniDomain;

// A row's Default broken into tokens, kept for part lookups.
struct sini_default {
    char *raw;         // owned copy of the default; p points into it
    const char *p[30]; // tokens, followed by a null slot
    int Id;            // the row's Id
    int np;            // number of tokens
};
typedef struct sini_default SIniDefault;

// The store's private index: domains by name and pooled records by value,
// so that loading a file of many domains stays linear.
struct sini_index;

// The store.
struct sini {
    const SIniTable *Table;   // the settings table (not owned)
    Array Pool;               // the pool: owns every SIniSetting
    Array Defaults;           // owns the parsed defaults, at most one per row
    Array Global;             // the global section (refers to pooled records)
    Array Domains;            // SIniDomain records (owned), in order of creation
    struct sini_index *Index; // private to the store (owned)
};
typedef struct sini *SIni;

// New empty store over table (not copied; it must outlive the store);
// null when table is null. Free it with sini_free.
SIni sini_init(const SIniTable *table);
// Frees the store with every setting, part, domain and parsed default and
// sets *x to null. Does nothing when x or *x is null.
void sini_free(SIni *x);

// Sets row id in the named domain, or in the global section when domain is
// null or names no domain (domains are created only by sini_load). The
// value is copied. 1 on success; 0 for a null x or value, an unknown id or
// a value the row's format refuses (the store is then unchanged).
int sini_set(SIni x, int id, const char *domain, const char *value);
// As sini_set with the row found by its label (any letter case); 0 also
// when no row has that label.
int sini_set_l(SIni x, const char *label, const char *domain, const char *value);

// The value of row id for the domain (null: the global section): the
// domain's count-th setting of the row, else the global one, else (only for
// count 0) the row's Default, else the same along the Fallback chain. For a
// multipart value, part selects a part by name (any letter case); null
// gives the first. Null when nothing is found. The text belongs to the store.
const char *sini_getx(SIni x, int id, const char *domain, const char *part, int count);
// Id of the first row whose Name equals label ignoring ASCII case; -1 when
// there is none or an argument is null.
int sini_id(SIni x, const char *label);

// Number of domains; 0 for a null store.
int sini_domains(SIni x);
// Name of domain i (from 0, in order of creation); null when out of range.
// The text belongs to the store.
const char *sini_domain_name(SIni x, int i);

// Reads file into x; domain_line is the keyword that opens a domain (null:
// "domain"). Lines the store refuses are logged at error level and skipped.
// 1 when the file was read to its end (a read error counts as the end);
// 0 for a null x or a file that cannot be opened or is a directory, with
// errno telling why (EISDIR for a directory).
int sini_load(SIni x, const char *file, const char *domain_line);

// What one line of the file was, for sini_load_lines' callback.
enum SIniLineKind {
    SINI_SETTING = 0,       // word: the label; domain: where it went (null: global)
    SINI_DOMAIN = 1,        // word: the domain's name
    SINI_UNNAMED_DOMAIN = 2 // the keyword without a name: ignored
};
// Receives each line that is neither blank nor a comment: its number in the
// file (from 1; the pieces of an overlong line share it), its kind, the
// word, the domain and the value (a setting's; null otherwise), and whether
// the store took it (0: an unknown label, a value the row's format refuses,
// or no memory for a new domain). The texts are lent for the call.
typedef void (*SIniLineCB)(void *ctx, int line, SIniLineKind kind, const char *word,
                           const char *domain, const char *value, int stored);
// As sini_load, except that every line is handed to cb (when not null)
// with ctx, and nothing is logged: the caller reports what it wants to.
int sini_load_lines(SIni x, const char *file, const char *domain_line, SIniLineCB cb, void *ctx);

// 1 when the section itself (the named domain, or the global section when
// domain is null) sets row id; 0 otherwise, also for a domain that does not
// exist. Tells a setting made from a value inherited.
int sini_has(SIni x, int id, const char *domain);

} // namespace adt

#endif
