// The module side of the module protocol: start-up, options, the request
// loop and the five operations over a module's store.
#include "modules/modlib.h"

#include "adt/lib.h"
#include "modules/modhash.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// A request longer than this is refused whole: Corvane never sends one.
static const size_t _request_max = 8192;

// The password text that says "no password given".
static const char _no_password[] = "(NULL)";

// The longest method name, which a check reply may carry.
static const size_t _method_max = sizeof("gost-yescrypt") - 1;

void mod_start(void)
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open() takes the lowest free descriptor: this one.
            int n = open("/dev/null", O_RDWR);
            if (n != fd && n >= 0) close(n);
        }
    signal(SIGTERM, SIG_DFL);
}

int mod_options_parse(ModOptions *o, int argc, char **argv, std::string *err)
{
    if (!o || !err) return 0;
    o->File.clear();
    o->Method = "yescrypt";
    o->Cost = 0;
    o->ReadOnly = 0;
    o->Rehash = 0;
    o->Busy = 5000;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "-readonly") == 0) {
            o->ReadOnly = 1;
            continue;
        }
        if (strcmp(a, "-rehash") == 0) {
            o->Rehash = 1;
            continue;
        }
        int file = strcmp(a, "-file") == 0, method = strcmp(a, "-method") == 0;
        int cost = strcmp(a, "-cost") == 0, busy = strcmp(a, "-busy") == 0;
        if (!file && !method && !cost && !busy) {
            *err = std::string("unknown option ") + a;
            return 0;
        }
        if (i + 1 >= argc) {
            *err = std::string("option ") + a + " requires a value";
            return 0;
        }
        const char *v = argv[++i];
        if (file) o->File = v;
        if (method) o->Method = v;
        if (cost) o->Cost = strtoul(v, nullptr, 10);
        if (busy) o->Busy = atoi(v);
    }
    if (o->File.empty()) {
        *err = "no store given (-file PATH)";
        return 0;
    }
    o->Prefix = hash_prefix(o->Method.c_str());
    if (!o->Prefix) {
        *err = "unknown hash method " + o->Method;
        return 0;
    }
    if (o->Busy < 0) o->Busy = 0;
    return 1;
}

int mod_name_ok(const char *name)
{
    if (!name || !*name || *name == '#') return 0;
    for (const unsigned char *p = (const unsigned char *)name; *p; p++)
        if (*p <= ' ' || *p == ':' || *p == 127) return 0;
    return 1;
}

void mod_reply(const char *format, ...)
{
    char bf[MOD_LINE_MAX + 2];
    va_list arg;
    va_start(arg, format);
    int n = adt::vsnprintf(bf, MOD_LINE_MAX + 1, format, arg);
    va_end(arg);
    if (n < 0 || n > MOD_LINE_MAX) n = MOD_LINE_MAX;
    bf[n] = '\n';
    // Nobody is left to read a reply: the work is over.
    if (!adt::write_all(1, bf, (size_t)n + 1)) exit(0);
}

// 1 when extra may be stored: no control character but the tab.
static int _extra_ok(const char *extra)
{
    for (const unsigned char *p = (const unsigned char *)extra; *p; p++)
        if ((*p < ' ' && *p != '\t') || *p == 127) return 0;
    return 1;
}

// 1 when a check reply of this user still fits one line.
static int _extra_fits(const ModStore *s, const char *name, const char *extra)
{
    size_t n = sizeof("+OK ") - 1 + strlen(name) + 1 + strlen(s->Kind) + 1 + _method_max + 1;
    return n + strlen(extra) <= MOD_LINE_MAX;
}

// Answers a failed store call.
static void _reply_failure(int r, const std::string &err)
{
    if (r == MOD_DEAD)
        mod_reply("-DEAD %s", err.c_str());
    else
        mod_reply("-ERR %s", err.c_str());
}

static void _lookup(const ModStore *s, const char *name)
{
    ModUser u;
    std::string err;
    int r = s->find(s->Self, name, &u, &err);
    if (r < 0) return _reply_failure(r, err);
    if (r == MOD_NONE) return mod_reply("-ERR %s not found", name);
    if (u.extra.empty()) return mod_reply("+OK %s", name);
    mod_reply("+OK %s %s", name, u.extra.c_str());
}

// Stores a right password again under the configured method. A failure
// changes nothing for the check that led here.
static void _rehash(const ModStore *s, const ModOptions *o, const ModUser *u, const char *password)
{
    if (!o->Rehash || o->ReadOnly) return;
    if (o->Method == hash_method(u->hash.c_str())) return;
    std::string h, err;
    if (!hash_make(o->Prefix, o->Cost, password, &h)) return;
    s->update(s->Self, u->name.c_str(), h.c_str(), nullptr, u->hash.c_str(), &err);
}

// Spends the time of one verification, so that an unknown user takes as
// long to refuse as a wrong password: against a hash of the store's most
// common method when it knows one, else of the configured method. The
// result is thrown away.
static void _verify_nothing(const ModStore *s, const ModOptions *o, const char *password)
{
    static std::string made;
    const std::string *dummy = s->typical ? &s->typical(s->Self) : &made;
    if (dummy->empty()) dummy = &made;
    if (made.empty() && dummy == &made && !hash_make(o->Prefix, o->Cost, "-", &made)) return;
    hash_verify(password, dummy->c_str());
}

static void _check(const ModStore *s, const ModOptions *o, const char *name, const char *password)
{
    ModUser u;
    std::string err;
    int r = s->find(s->Self, name, &u, &err);
    if (r < 0) return _reply_failure(r, err);
    // An empty password and "(NULL)" never check, whatever is stored.
    int given = password && *password && strcmp(password, _no_password) != 0;
    if (r == MOD_NONE || !given) {
        if (given) _verify_nothing(s, o, password);
        return mod_reply("-ERR %s not found or password incorrect", name);
    }
    if (!hash_verify(password, u.hash.c_str()))
        return mod_reply("-ERR %s not found or password incorrect", name);
    _rehash(s, o, &u, password);
    const char *method = hash_method(u.hash.c_str());
    if (u.extra.empty()) return mod_reply("+OK %s %s %s", name, s->Kind, method);
    mod_reply("+OK %s %s %s %s", name, s->Kind, method, u.extra.c_str());
}

static void _set(const ModStore *s, const ModOptions *o, const char *name, const char *password,
                 const char *extra)
{
    if (!password) return mod_reply("-ERR set requires a user name and a password");
    if (!*password) return mod_reply("-ERR %s password must not be empty", name);
    if (!_extra_ok(extra)) return mod_reply("-ERR %s extra information invalid", name);
    if (!_extra_fits(s, name, extra)) return mod_reply("-ERR %s extra information too long", name);
    if (o->ReadOnly) return mod_reply("-ERR %s not set, the store is read-only", name);
    std::string err;
    int r;
    if (strcmp(password, _no_password) == 0) {
        r = s->update(s->Self, name, nullptr, extra, nullptr, &err);
    } else {
        ModUser u;
        if (!hash_make(o->Prefix, o->Cost, password, &u.hash))
            return mod_reply("-ERR %s %s", name, u.hash.c_str());
        u.name = name;
        u.extra = extra;
        r = s->put(s->Self, &u, &err);
    }
    if (r < 0) return _reply_failure(r, err);
    if (r == MOD_NONE) return mod_reply("-ERR %s not found", name);
    mod_reply("+OK %s set", name);
}

static void _del(const ModStore *s, const ModOptions *o, const char *name)
{
    if (o->ReadOnly) return mod_reply("-ERR %s not deleted, the store is read-only", name);
    std::string err;
    int r = s->remove(s->Self, name, &err);
    if (r < 0) return _reply_failure(r, err);
    if (r == MOD_NONE) return mod_reply("-ERR %s not found", name);
    mod_reply("+OK %s deleted", name);
}

// The counts of a search in progress.
struct search_state {
    const char *pattern;
    int found;
    int total;
};

static void _search_one(void *ctx, const ModUser *u)
{
    search_state *st = (search_state *)ctx;
    st->total++;
    if (!adt::wild_match(u->name.c_str(), st->pattern)) return;
    st->found++;
    if (u->extra.empty()) return mod_reply("+DATA %s", u->name.c_str());
    mod_reply("+DATA %s %s", u->name.c_str(), u->extra.c_str());
}

static void _search(const ModStore *s, const char *pattern)
{
    search_state st = {pattern, 0, 0};
    std::string err;
    int r = s->each(s->Self, _search_one, &st, &err);
    if (r < 0) return _reply_failure(r, err);
    mod_reply("+OK %d %d", st.found, st.total);
}

int mod_request(const ModStore *s, const ModOptions *o, const char *dead, char *line)
{
    char *w[4] = {};
    // The request word, then the rest of the line unsplit.
    int n = adt::ssplit(line, " ", w, 2, 0);
    const char *word = n > 0 ? w[0] : "";
    char *rest = n > 1 ? w[1] : nullptr;
    if (strcmp(word, "quit") == 0) return 0;
    if (dead) {
        mod_reply("-DEAD %s", dead);
        return 1;
    }
    int lookup = strcmp(word, "lookup") == 0, del = strcmp(word, "del") == 0;
    int check = strcmp(word, "check") == 0, set = strcmp(word, "set") == 0;
    if (strcmp(word, "search") == 0) {
        // The pattern is the first word; any further text is not ours.
        char *p[2] = {};
        adt::ssplit(rest ? rest : (char *)"", " ", p, 2, 0);
        _search(s, p[0] ? p[0] : "");
        return 1;
    }
    if (!lookup && !del && !check && !set) {
        mod_reply("-ERR unknown request");
        return 1;
    }
    // lookup and del take the whole rest as the name, so a name with a
    // blank is seen and refused; check and set split it into fields.
    if (check || set)
        n = rest ? adt::ssplit(rest, " ", w, 3, 0) : 0;
    else
        w[0] = rest, n = rest ? 1 : 0;
    const char *name = n > 0 ? w[0] : "";
    if (!mod_name_ok(name)) {
        mod_reply("-ERR invalid user name");
        return 1;
    }
    if (lookup) _lookup(s, name);
    if (del) _del(s, o, name);
    if (check) _check(s, o, name, n > 1 ? w[1] : nullptr);
    if (set) _set(s, o, name, n > 1 ? w[1] : nullptr, n > 2 ? w[2] : "");
    return 1;
}

// Reads the next request line from standard input into *line, without its
// line feed and a carriage return before it. 0 at the end of input or on a
// read error; a line over _request_max bytes comes back empty with *toolong.
// The end of input after a partial line gives that line first.
static int _read_request(std::string *line, int *toolong)
{
    static char bf[4096];
    static size_t have = 0, upto = 0;
    line->clear();
    *toolong = 0;
    for (;;) {
        if (upto < have) {
            char *lf = (char *)memchr(bf + upto, '\n', have - upto);
            size_t end = lf ? (size_t)(lf - bf) : have;
            if (!*toolong) line->append(bf + upto, end - upto);
            upto = lf ? end + 1 : have;
            if (line->size() > _request_max) {
                *toolong = 1;
                line->clear();
            }
            if (lf) {
                if (!line->empty() && line->back() == '\r') line->pop_back();
                return 1;
            }
        }
        ssize_t r = read(0, bf, sizeof bf);
        if (r < 0 && errno == EINTR) continue;
        // A last line without its line feed is still a request.
        if (r <= 0) return !line->empty() || *toolong;
        have = (size_t)r;
        upto = 0;
    }
}

int mod_run(const ModStore *s, const ModOptions *o, const char *dead)
{
    std::string line;
    int toolong;
    while (_read_request(&line, &toolong)) {
        if (toolong) {
            mod_reply("-ERR request too long");
            continue;
        }
        // A NUL byte ends the request there, as it would any text.
        if (!mod_request(s, o, dead, line.data())) break;
    }
    return 0;
}
