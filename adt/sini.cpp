// The configuration store: settings pool, sections, lookup and the loader.
#include "adt/sini.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unordered_map>

#include "adt/lib.h"
#include "adt/log.h"

namespace adt
{

// Token slots for value, format and default texts; a parsed default for a
// part lookup uses fewer, so it holds at most nine tokens (three parts).
static const int VALUE_SLOTS = 30;
static const int DEFAULT_SLOTS = 10;

// Each read takes at most 998 bytes of a line; a longer line goes on in
// the next read as a line of its own.
static const int LINE_SIZE = 1000;
static const int LINE_READ = 999;

// The marker token that stands for an "=" after a part name.
static const char EQ_MARKER[] = "=";

// Lookups by name and by value through hash tables instead of scans of the
// domain list and the pool: each scan is short, but a file of n domains
// does n of them, which made loading quadratic.
struct sini_index {
    std::unordered_map<std::string, SIniDomain *> domains;
    std::unordered_map<std::string, SIniSetting *> pool; // by pool_key
};

// Appends item to a, growing a geometrically: an array grows by a fixed
// block, which for the pool and the domain list of a large file means
// copying them again and again.
static int grow_add(Array a, void *item)
{
    if (a && a->items == a->size && a->block < a->items) a->block = a->items;
    return array_add(a, item);
}

// --- Records ---

static SIniMulti *multi_new(const char *name, const char *value)
{
    SIniMulti *m = static_cast<SIniMulti *>(calloc(1, sizeof(SIniMulti)));
    if (!m) return nullptr;
    m->Name = s_strdup(name);
    m->sValue = s_strdup(value);
    if (m->Name && m->sValue) return m;
    free(m->Name);
    free(m->sValue);
    free(m);
    return nullptr;
}

static void multi_free(void **slot)
{
    if (!slot || !*slot) return;
    SIniMulti *m = static_cast<SIniMulti *>(*slot);
    free(m->Name);
    free(m->sValue);
    free(m);
    *slot = nullptr;
}

// Parts are equal only with equal names as well as values: two domains
// giving the same values to different parts must not share one record.
static int multi_equal(const SIniMulti *a, const SIniMulti *b)
{
    if (a == b) return 1;
    if (!a || !b) return 0;
    return strcmp(a->Name, b->Name) == 0 && strcmp(a->sValue, b->sValue) == 0;
}

static void setting_free(void **slot)
{
    if (!slot || !*slot) return;
    SIniSetting *s = static_cast<SIniSetting *>(*slot);
    if (s->Mode == SM_MULTIPART)
        array_free_fn(&s->Value.mValue, multi_free);
    else
        free(s->Value.sValue);
    free(s);
    *slot = nullptr;
}

static int setting_equal(const SIniSetting *a, const SIniSetting *b)
{
    if (a == b) return 1;
    if (!a || !b || a->Mode != b->Mode) return 0;
    if (a->Mode == SM_NORMAL) return strcmp(a->Value.sValue, b->Value.sValue) == 0;
    int n = array_items(a->Value.mValue);
    if (n != array_items(b->Value.mValue)) return 0;
    for (int i = 0; i < n; i++) {
        if (!multi_equal(static_cast<SIniMulti *>(array_get_num(a->Value.mValue, i)),
                         static_cast<SIniMulti *>(array_get_num(b->Value.mValue, i))))
            return 0;
    }
    return 1;
}

// A text that two records share exactly when setting_equal holds for them
// and their Ids are equal: the Id, the mode, then each text (a part's name
// and value) ended by a NUL, which no text holds.
static std::string pool_key(const SIniSetting *s)
{
    std::string key = std::to_string(s->Id) + (s->Mode == SM_NORMAL ? "n" : "m");
    key += '\0';
    if (s->Mode == SM_NORMAL) return key.append(s->Value.sValue) + '\0';
    for (int i = 0; i < array_items(s->Value.mValue); i++) {
        const SIniMulti *m = static_cast<SIniMulti *>(array_get_num(s->Value.mValue, i));
        key.append(m->Name) += '\0';
        key.append(m->sValue) += '\0';
    }
    return key;
}

static void default_free(void **slot)
{
    if (!slot || !*slot) return;
    SIniDefault *d = static_cast<SIniDefault *>(*slot);
    free(d->raw);
    free(d);
    *slot = nullptr;
}

static SIniDomain *domain_new(const char *name)
{
    SIniDomain *d = static_cast<SIniDomain *>(calloc(1, sizeof(SIniDomain)));
    if (!d) return nullptr;
    d->Name = s_strdup(name);
    d->Settings = array_init(0);
    if (d->Name && d->Settings) return d;
    free(d->Name);
    array_free(&d->Settings);
    free(d);
    return nullptr;
}

static void domain_free(void **slot)
{
    if (!slot || !*slot) return;
    SIniDomain *d = static_cast<SIniDomain *>(*slot);
    array_free(&d->Settings);
    free(d->Name);
    free(d);
    *slot = nullptr;
}

// --- Value parsing ---

static int is_blank(char c)
{
    return c == ' ' || c == '\t';
}

static int is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Splits text in place into tokens: blanks separate them, "=" ends a token
// and adds the marker token after it, and a double-quoted token may hold
// blanks and "=" (it closes at a quote followed by white space or the end).
// Takes tokens only while fewer than slots-2 are held, clears the rest of
// p and returns the count.
static int split_line(char *text, const char **p, int slots)
{
    int n = 0;
    char *s = text;
    while (s && n < slots - 2) {
        while (is_blank(*s)) s++;
        if (!*s) break;
        if (*s == '"') {
            p[n++] = ++s;
            while (*s && !(*s == '"' && (!s[1] || is_space(s[1])))) s++;
        } else {
            p[n++] = s;
            while (*s && !is_blank(*s) && *s != '=') s++;
            if (*s == '=') p[n++] = EQ_MARKER;
        }
        if (*s)
            *s++ = '\0';
        else
            s = nullptr;
    }
    for (int i = n; i < slots; i++) p[i] = nullptr;
    return n;
}

// Removes the backslash of "\\" and "\"" in place; other backslashes stay.
static void escape_value(char *text)
{
    char *w = text;
    for (const char *r = text; *r; r++) {
        if (*r == '\\' && (r[1] == '\\' || r[1] == '"')) r++;
        *w++ = *r;
    }
    *w = '\0';
}

static int add_multipart(Array *parts, const char *name, const char *value)
{
    if (!*parts) *parts = array_init(0);
    SIniMulti *m = multi_new(name, value);
    if (*parts && m && array_add(*parts, m)) return 1;
    void *slot = m;
    multi_free(&slot);
    return 0;
}

// 1 when name is the first token of a triple of the n tokens t (exactly).
static int names_part(const char **t, int n, const char *name)
{
    for (int i = 0; i < n; i += 3)
        if (strcmp(t[i], name) == 0) return 1;
    return 0;
}

// 1 when name equals any of the n tokens t, ignoring letter case.
static int has_token(const char **t, int n, const char *name)
{
    for (int i = 0; i < n; i++)
        if (s_stricmp(t[i], name) == 0) return 1;
    return 0;
}

// Fills s with the parts of the unescaped value text, completed from the
// default text (may be null) with the parts the value does not name.
// Both texts are split in place.
static int read_parts(SIniSetting *s, char *value, char *def, const char **f, int nf)
{
    const char *m[2 * VALUE_SLOTS];
    escape_value(value);
    int n = split_line(value, m, VALUE_SLOTS);
    if (n == 0 || n % 3 != 0) return 0;
    for (int i = 0; i < n; i += 3)
        if (!names_part(f, nf, m[i])) return 0;
    if (n < nf && def) {
        const char *d[VALUE_SLOTS];
        escape_value(def);
        int nd = split_line(def, d, VALUE_SLOTS);
        for (int k = 0; k + 2 < nd; k += 3) {
            if (names_part(m, n, d[k])) continue;
            m[n++] = d[k];
            m[n++] = d[k + 1];
            m[n++] = d[k + 2];
        }
    }
    Array parts = nullptr;
    for (int i = 0; i < n; i += 3) {
        if (strcmp(m[i + 1], EQ_MARKER) != 0 || !has_token(f, nf, m[i]) ||
            !add_multipart(&parts, m[i], m[i + 2])) {
            array_free_fn(&parts, multi_free);
            return 0;
        }
    }
    s->Mode = SM_MULTIPART;
    s->Value.mValue = parts;
    return 1;
}

// Fills s from value by the row's format: a format of one token keeps the
// value verbatim, any other is a list of "name = x" triples naming the
// parts. 0 when the value does not fit the format.
static int read_value(SIniSetting *s, const char *value, const char *format, const char *def)
{
    char *fcopy = s_strdup(format && *format ? format : "VALUE");
    if (!fcopy) return 0;
    const char *f[VALUE_SLOTS];
    int nf = split_line(fcopy, f, VALUE_SLOTS);
    int ok = 0;
    if (nf <= 1) {
        s->Mode = SM_NORMAL;
        s->Value.sValue = s_strdup(value);
        ok = s->Value.sValue != nullptr;
    } else {
        char *vcopy = s_strdup(value);
        char *dcopy = s_strdup(def);
        if (vcopy && (dcopy || !def)) ok = read_parts(s, vcopy, dcopy, f, nf);
        free(vcopy);
        free(dcopy);
    }
    free(fcopy);
    return ok;
}

// New record for row from value; null when the value is invalid.
static SIniSetting *setting_new(const SIniTable *row, const char *value)
{
    SIniSetting *s = static_cast<SIniSetting *>(calloc(1, sizeof(SIniSetting)));
    if (!s) return nullptr;
    s->Id = row->Id;
    if (read_value(s, value, row->Format, row->Default)) return s;
    free(s);
    return nullptr;
}

// --- Lookup helpers ---

// Index of the row with this Id, or, when label is not null, of the first
// row whose Name equals label ignoring case; -1 when there is none.
static int get_index(SIni x, int id, const char *label)
{
    if (!x || !x->Table) return -1;
    for (int i = 0; x->Table[i].Name; i++) {
        if (label ? s_stricmp(x->Table[i].Name, label) == 0 : x->Table[i].Id == id) return i;
    }
    return -1;
}

static SIniDomain *get_domain(SIni x, const char *name)
{
    if (!x || !name) return nullptr;
    auto found = x->Index->domains.find(name);
    return found == x->Index->domains.end() ? nullptr : found->second;
}

// The pooled record of this Id equal to r, or null.
static SIniSetting *pooled_equal(SIni x, const SIniSetting *r)
{
    auto found = x->Index->pool.find(pool_key(r));
    return found == x->Index->pool.end() ? nullptr : found->second;
}

// Index in list of the first setting of row id, or -1.
static int find_id(Array list, int id)
{
    for (int i = 0; i < array_items(list); i++)
        if (static_cast<SIniSetting *>(array_get_num(list, i))->Id == id) return i;
    return -1;
}

// The setting of row id in list at occurrence *seen == count; *seen counts
// the occurrences passed over, so it runs on across lists.
static const SIniSetting *find_nth(Array list, int id, int count, int *seen)
{
    for (int i = 0; i < array_items(list); i++) {
        const SIniSetting *s = static_cast<SIniSetting *>(array_get_num(list, i));
        if (s->Id != id) continue;
        if (*seen == count) return s;
        (*seen)++;
    }
    return nullptr;
}

static const char *setting_text(const SIniSetting *s, const char *part)
{
    if (s->Mode != SM_MULTIPART) return s->Value.sValue;
    for (int i = 0; i < array_items(s->Value.mValue); i++) {
        const SIniMulti *m = static_cast<SIniMulti *>(array_get_num(s->Value.mValue, i));
        if (!part || s_stricmp(m->Name, part) == 0) return m->sValue;
    }
    return nullptr;
}

// The row's parsed default from the cache, parsed and kept on first use.
static const SIniDefault *parsed_default(SIni x, const SIniTable *row)
{
    for (int i = 0; i < array_items(x->Defaults); i++) {
        SIniDefault *d = static_cast<SIniDefault *>(array_get_num(x->Defaults, i));
        if (d->Id == row->Id) return d;
    }
    SIniDefault *d = static_cast<SIniDefault *>(calloc(1, sizeof(SIniDefault)));
    if (!d) return nullptr;
    d->Id = row->Id;
    d->raw = s_strdup(row->Default);
    if (d->raw) d->np = split_line(d->raw, d->p, DEFAULT_SLOTS);
    if (d->raw && array_add(x->Defaults, d)) return d;
    void *slot = d;
    default_free(&slot);
    return nullptr;
}

// The value the row's default gives the named part, or null.
static const char *default_part(SIni x, const SIniTable *row, const char *part)
{
    const SIniDefault *d = parsed_default(x, row);
    if (!d) return nullptr;
    for (int i = 0; i < d->np; i += 3)
        if (strcmp(d->p[i], part) == 0) return d->p[i + 2];
    return nullptr;
}

// --- The store ---

SIni sini_init(const SIniTable *table)
{
    if (!table) return nullptr;
    SIni x = static_cast<SIni>(calloc(1, sizeof(struct sini)));
    if (!x) return nullptr;
    x->Table = table;
    x->Pool = array_init(0);
    x->Defaults = array_init(0);
    x->Global = array_init(0);
    x->Domains = array_init(0);
    x->Index = new (std::nothrow) sini_index;
    if (x->Pool && x->Defaults && x->Global && x->Domains && x->Index) return x;
    sini_free(&x);
    return nullptr;
}

void sini_free(SIni *x)
{
    if (!x || !*x) return;
    array_free_fn(&(*x)->Defaults, default_free);
    array_free_fn(&(*x)->Pool, setting_free);
    array_free_fn(&(*x)->Domains, domain_free);
    array_free(&(*x)->Global);
    delete (*x)->Index;
    free(*x);
    *x = nullptr;
}

int sini_set(SIni x, int id, const char *domain, const char *value)
{
    int row = get_index(x, id, nullptr);
    if (row < 0 || !value) return 0;
    SIniDomain *d = get_domain(x, domain);
    Array list = d ? d->Settings : x->Global;
    SIniSetting *r = setting_new(&x->Table[row], value);
    if (!r) return 0;
    int at = x->Table[row].Mode == SM_MULTI ? -1 : find_id(list, id);
    SIniSetting *old = at < 0 ? nullptr : static_cast<SIniSetting *>(array_get_num(list, at));
    SIniSetting *keep = old && setting_equal(old, r) ? old : pooled_equal(x, r);
    if (keep) {
        void *slot = r;
        setting_free(&slot);
    } else if (grow_add(x->Pool, r)) {
        keep = r;
        x->Index->pool.emplace(pool_key(r), r);
    } else {
        void *slot = r;
        setting_free(&slot);
        return 0;
    }
    // A changed value replaces this section's reference only; other
    // sections sharing the old record keep it.
    if (at >= 0) {
        list->data[at] = keep;
        return 1;
    }
    return array_add(list, keep);
}

int sini_set_l(SIni x, const char *label, const char *domain, const char *value)
{
    if (!label) return 0;
    int row = get_index(x, 0, label);
    if (row < 0) return 0;
    return sini_set(x, x->Table[row].Id, domain, value);
}

const char *sini_getx(SIni x, int id, const char *domain, const char *part, int count)
{
    int row = get_index(x, id, nullptr);
    if (row < 0) return nullptr;
    SIniDomain *d = get_domain(x, domain);
    // A fallback chain visits each row at most once unless the table has a
    // cycle, so the walk is bounded by the table's length.
    for (int rows = 0; x->Table[rows].Name; rows++) {
        const SIniTable *r = &x->Table[row];
        int seen = 0;
        const SIniSetting *hit = d ? find_nth(d->Settings, r->Id, count, &seen) : nullptr;
        if (!hit) hit = find_nth(x->Global, r->Id, count, &seen);
        if (hit) return setting_text(hit, part);
        if (count != 0) return nullptr;
        if (r->Default) return part ? default_part(x, r, part) : r->Default;
        if (r->Fallback == -1) return nullptr;
        row = get_index(x, r->Fallback, nullptr);
        if (row < 0) return nullptr;
    }
    return nullptr;
}

int sini_id(SIni x, const char *label)
{
    if (!label) return -1;
    int row = get_index(x, 0, label);
    return row < 0 ? -1 : x->Table[row].Id;
}

int sini_domains(SIni x)
{
    return x ? array_items(x->Domains) : 0;
}

const char *sini_domain_name(SIni x, int i)
{
    if (!x || i < 0) return nullptr;
    SIniDomain *d = static_cast<SIniDomain *>(array_get_num(x->Domains, i));
    return d ? d->Name : nullptr;
}

// --- The loader ---

// Where one line of the file is handed to the caller's callback.
struct line_report {
    SIniLineCB cb;
    void *ctx;
    int number;
};

// Hands a line's outcome to the callback, or, without one, logs what the
// store refused.
static void report(const line_report *r, SIniLineKind kind, const char *word, const char *domain,
                   const char *value, int stored)
{
    if (r->cb) {
        r->cb(r->ctx, r->number, kind, word, domain, value, stored);
    } else if (kind == SINI_UNNAMED_DOMAIN) {
        emsg("Domain line without a name ignored");
    } else if (kind == SINI_DOMAIN && !stored) {
        emsg("Domain (%s) could not be created", word);
    } else if (kind == SINI_SETTING && !stored) {
        emsg("Setting invalid (%s)(%s)", word, value);
    }
}

// Handles one line (already cut at its end) of the file; *current is the
// domain that settings go to, null for the global section.
static void load_line(SIni x, char *line, const char *domain_line, SIniDomain **current,
                      const line_report *r)
{
    char *upto = nullptr;
    char *word = s_strtok(line, " \t", &upto);
    if (!word || word[0] == '#') return;
    if (s_stricmp(word, domain_line) == 0) {
        char *name = s_strtok(nullptr, " \t", &upto);
        if (!name) {
            report(r, SINI_UNNAMED_DOMAIN, nullptr, nullptr, nullptr, 0);
            return;
        }
        SIniDomain *d = get_domain(x, name);
        if (!d) {
            d = domain_new(name);
            if (d && grow_add(x->Domains, d)) {
                x->Index->domains.emplace(d->Name, d);
            } else if (d) {
                void *slot = d;
                domain_free(&slot);
                d = nullptr;
            }
        }
        // Without memory for a new domain the current one stays; the
        // report tells where the following settings went astray.
        if (d) *current = d;
        report(r, SINI_DOMAIN, name, nullptr, nullptr, d != nullptr);
        return;
    }
    const char *value = s_strtok(nullptr, "", &upto);
    if (!value) value = "";
    const char *domain = *current ? (*current)->Name : nullptr;
    int stored = sini_set_l(x, word, domain, value);
    report(r, SINI_SETTING, word, domain, value, stored);
}

int sini_load(SIni x, const char *file, const char *domain_line)
{
    return sini_load_lines(x, file, domain_line, nullptr, nullptr);
}

int sini_load_lines(SIni x, const char *file, const char *domain_line, SIniLineCB cb, void *ctx)
{
    if (!x || !file) {
        errno = EINVAL;
        return 0;
    }
    FILE *f = s_fopen(file, "r");
    if (!f) return 0;
    // A directory opens for reading but cannot be read: refuse it here so
    // that the caller can report why.
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        s_fclose(&f);
        errno = EISDIR;
        return 0;
    }
    if (!domain_line) domain_line = "domain";
    SIniDomain *current = nullptr;
    line_report r = {cb, ctx, 0};
    char line[LINE_SIZE];
    // A line longer than one read goes on in the next read, which keeps
    // the line's number.
    int whole = 1;
    while (fgets(line, LINE_READ, f)) {
        if (whole) r.number++;
        whole = strchr(line, '\n') != nullptr;
        strip_eol_r(line);
        load_line(x, line, domain_line, &current, &r);
    }
    s_fclose(&f);
    return 1;
}

int sini_has(SIni x, int id, const char *domain)
{
    if (!x) return 0;
    SIniDomain *d = get_domain(x, domain);
    if (domain && !d) return 0;
    return find_id(d ? d->Settings : x->Global, id) >= 0;
}

} // namespace adt
