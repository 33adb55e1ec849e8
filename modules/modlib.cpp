// The module side of the module protocol: start-up, options, the request
// loop and the five operations over a module's store.
#include "modules/modlib.h"

#include "adt/lib.h"
#include "adt/spawn.h"
#include "modules/modhash.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// A request longer than this is refused whole: Corvane never sends one.
const size_t request_max = 8192;

// The password text that says "no password given".
const char no_password[] = "(NULL)";

// The longest method name, which a check reply may carry.
const size_t method_max = sizeof("gost-yescrypt") - 1;

} // namespace

void mod_start(void)
{
    adt::spawn_stdio_open();
    signal(SIGTERM, SIG_DFL);
}

int mod_options_parse(ModOptions *o, const std::vector<ModOption> &own, int argc, char **argv,
                      std::string *err)
{
    if (!o || !err) return 0;
    std::string cost;
    o->Method = "yescrypt";
    o->Cost = 0;
    o->ReadOnly = 0;
    o->Rehash = 0;
    std::vector<ModOption> all = {{"-readonly", nullptr, nullptr, &o->ReadOnly},
                                  {"-rehash", nullptr, nullptr, &o->Rehash},
                                  {"-method", &o->Method, nullptr, nullptr},
                                  {"-cost", &cost, nullptr, nullptr}};
    all.insert(all.end(), own.begin(), own.end());
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        auto opt = std::find_if(all.begin(), all.end(),
                                [a](const ModOption &m) { return strcmp(a, m.Name) == 0; });
        if (opt == all.end()) {
            *err = std::string("unknown option ") + a;
            return 0;
        }
        if (opt->Flag) *opt->Flag = 1;
        if (!opt->Text && !opt->Number) continue;
        if (i + 1 >= argc) {
            *err = std::string("option ") + a + " requires a value";
            return 0;
        }
        const char *v = argv[++i];
        if (opt->Text) *opt->Text = v;
        if (opt->Number) *opt->Number = std::max(atoi(v), 0);
    }
    o->Cost = strtoul(cost.c_str(), nullptr, 10);
    o->Prefix = hash_prefix(o->Method.c_str());
    if (!o->Prefix) {
        *err = "unknown hash method " + o->Method;
        return 0;
    }
    if (!hash_setting_ok(o->Prefix, o->Cost)) {
        *err = "-cost " + cost + " does not suit " + o->Method;
        return 0;
    }
    return 1;
}

int mod_name_ok(const char *name)
{
    if (!name || !*name || *name == '#') return 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
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
    // A line break in a reason from a library would split the reply.
    for (int i = 0; i < n; i++)
        if ((static_cast<unsigned char>(bf[i]) < ' ' && bf[i] != '\t') || bf[i] == 127) bf[i] = ' ';
    bf[n] = '\n';
    // Nobody is left to read a reply: the work is over.
    if (!adt::write_all(1, bf, static_cast<size_t>(n) + 1)) exit(0);
}

const std::string &ModStore::typical()
{
    static const std::string none;
    return none;
}

namespace
{

// 1 when extra may be stored: no control character but the tab.
int extra_ok(const char *extra)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(extra); *p; p++)
        if ((*p < ' ' && *p != '\t') || *p == 127) return 0;
    return 1;
}

// 1 when a check reply of this user still fits one line.
int extra_fits(const ModStore *s, const char *name, const char *extra)
{
    size_t n = sizeof("+OK ") - 1 + strlen(name) + 1 + strlen(s->kind()) + 1 + method_max + 1;
    return n + strlen(extra) <= MOD_LINE_MAX;
}

// Answers a failed store call.
void reply_failure(int r, const std::string &err)
{
    if (r == MOD_DEAD)
        mod_reply("-DEAD %s", err.c_str());
    else
        mod_reply("-ERR %s", err.c_str());
}

void op_lookup(ModStore *s, const char *name)
{
    ModUser u;
    std::string err;
    int r = s->find(name, &u, &err);
    if (r < 0) return reply_failure(r, err);
    if (r == MOD_NONE) return mod_reply("-ERR %s not found", name);
    if (u.extra.empty()) return mod_reply("+OK %s", name);
    mod_reply("+OK %s %s", name, u.extra.c_str());
}

// Stores a right password again under the configured method. A failure
// changes nothing for the check that led here.
void rehash_right(ModStore *s, const ModOptions *o, const ModUser *u, const char *password)
{
    if (!o->Rehash || o->ReadOnly) return;
    if (o->Method == hash_method(u->hash.c_str())) return;
    std::string h, err;
    if (!hash_make(o->Prefix, o->Cost, password, &h)) return;
    s->update(u->name.c_str(), h.c_str(), nullptr, u->hash.c_str(), &err);
}

// Spends the time of one verification, so that an unknown user takes as
// long to refuse as a wrong password: against a hash of the store's most
// common method when it knows one, else of the configured method. The
// result is thrown away.
void verify_nothing(ModStore *s, const ModOptions *o, const char *password)
{
    static std::string made;
    const std::string *dummy = &s->typical();
    if (dummy->empty()) dummy = &made;
    if (made.empty() && dummy == &made && !hash_make(o->Prefix, o->Cost, "-", &made)) return;
    hash_verify(password, dummy->c_str());
}

void op_check(ModStore *s, const ModOptions *o, const char *name, const char *password)
{
    ModUser u;
    std::string err;
    int r = s->find(name, &u, &err);
    if (r < 0) return reply_failure(r, err);
    // An empty password and "(NULL)" never check, whatever is stored.
    int given = password && *password && strcmp(password, no_password) != 0;
    if (r == MOD_NONE || !given) {
        if (given) verify_nothing(s, o, password);
        return mod_reply("-ERR %s not found or password incorrect", name);
    }
    if (!hash_verify(password, u.hash.c_str()))
        return mod_reply("-ERR %s not found or password incorrect", name);
    rehash_right(s, o, &u, password);
    const char *method = hash_method(u.hash.c_str());
    if (u.extra.empty()) return mod_reply("+OK %s %s %s", name, s->kind(), method);
    mod_reply("+OK %s %s %s %s", name, s->kind(), method, u.extra.c_str());
}

void op_set(ModStore *s, const ModOptions *o, const char *name, const char *password,
            const char *extra)
{
    if (!password) return mod_reply("-ERR set requires a user name and a password");
    if (!*password) return mod_reply("-ERR %s password must not be empty", name);
    if (!extra_ok(extra)) return mod_reply("-ERR %s extra information invalid", name);
    if (!extra_fits(s, name, extra)) return mod_reply("-ERR %s extra information too long", name);
    if (o->ReadOnly) return mod_reply("-ERR %s not set, the store is read-only", name);
    std::string err;
    int r;
    if (strcmp(password, no_password) == 0) {
        r = s->update(name, nullptr, extra, nullptr, &err);
    } else {
        ModUser u;
        if (!hash_make(o->Prefix, o->Cost, password, &u.hash))
            return mod_reply("-DEAD %s %s", name, u.hash.c_str());
        u.name = name;
        u.extra = extra;
        r = s->put(u, &err);
        if (r == MOD_NONE)
            return mod_reply("-ERR %s not set, the store holds it in another letter case", name);
    }
    if (r < 0) return reply_failure(r, err);
    if (r == MOD_NONE) return mod_reply("-ERR %s not found", name);
    mod_reply("+OK %s set", name);
}

void op_del(ModStore *s, const ModOptions *o, const char *name)
{
    if (o->ReadOnly) return mod_reply("-ERR %s not deleted, the store is read-only", name);
    std::string err;
    int r = s->remove(name, &err);
    if (r < 0) return reply_failure(r, err);
    if (r == MOD_NONE) return mod_reply("-ERR %s not found", name);
    mod_reply("+OK %s deleted", name);
}

void op_search(ModStore *s, const char *pattern)
{
    int found = 0, total = 0;
    std::string err;
    int r = s->each(
        [&](const ModUser &u) {
            total++;
            if (!adt::wild_match(u.name.c_str(), pattern)) return;
            found++;
            if (u.extra.empty()) return mod_reply("+DATA %s", u.name.c_str());
            mod_reply("+DATA %s %s", u.name.c_str(), u.extra.c_str());
        },
        &err);
    if (r < 0) return reply_failure(r, err);
    mod_reply("+OK %d %d", found, total);
}

} // namespace

int mod_request(ModStore *s, const ModOptions *o, const char *dead, char *line)
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
        char none[] = "";
        adt::ssplit(rest ? rest : none, " ", p, 2, 0);
        op_search(s, p[0] ? p[0] : "");
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
    if (lookup) op_lookup(s, name);
    if (del) op_del(s, o, name);
    if (check) op_check(s, o, name, n > 1 ? w[1] : nullptr);
    if (set) op_set(s, o, name, n > 1 ? w[1] : nullptr, n > 2 ? w[2] : "");
    return 1;
}

// Reads the next request line from standard input into *line, without its
// line feed and a carriage return before it. 0 at the end of input or on a
// read error; a line over request_max bytes comes back empty with *toolong.
// The end of input after a partial line gives that line first.
static int mod_read_request(std::string *line, int *toolong)
{
    static char bf[4096];
    static size_t have = 0, upto = 0;
    line->clear();
    *toolong = 0;
    for (;;) {
        if (upto < have) {
            char *lf = static_cast<char *>(memchr(bf + upto, '\n', have - upto));
            size_t end = lf ? static_cast<size_t>(lf - bf) : have;
            if (!*toolong) line->append(bf + upto, end - upto);
            upto = lf ? end + 1 : have;
            if (line->size() > request_max) {
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
        have = static_cast<size_t>(r);
        upto = 0;
    }
}

int mod_run(ModStore *s, const ModOptions *o, const char *dead)
{
    std::string line;
    int toolong;
    while (mod_read_request(&line, &toolong)) {
        if (toolong) {
            mod_reply("-ERR request too long");
            continue;
        }
        // A NUL byte ends the request there, as it would any text.
        if (!mod_request(s, o, dead, line.data())) break;
    }
    return 0;
}

int mod_main(int argc, char **argv, ModStore *s)
{
    mod_start();
    ModOptions o;
    std::string err;
    int ok = mod_options_parse(&o, s->options(), argc, argv, &err) && s->open(o, &err);
    return mod_run(s, &o, ok ? nullptr : err.c_str());
}
