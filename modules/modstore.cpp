// The hash stores' back end: the five requests over a store's functions.
#include "modules/modstore.h"

#include "adt/lib.h"
#include "modules/modhash.h"
#include "modules/modsafe.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The longest method name, which a check reply may carry.
const size_t method_max = sizeof("gost-yescrypt") - 1;

// 1 when extra may be stored: no control character but the tab.
int extra_ok(const char *extra)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(extra); *p; p++)
        if ((*p < ' ' && *p != '\t') || *p == 127) return 0;
    return 1;
}

// 1 when a check reply of this user still fits one line.
int extra_fits(const char *kind, const char *name, const char *extra)
{
    size_t n = sizeof("+OK ") - 1 + strlen(name) + 1 + strlen(kind) + 1 + method_max + 1;
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

// 1 when the user the module runs as may do what (R_OK, W_OK) to path.
bool may(const std::string &path, int what)
{
    return faccessat(AT_FDCWD, path.c_str(), what, AT_EACCESS) == 0;
}

} // namespace

std::vector<ModOption> ModStore::options()
{
    std::vector<ModOption> all = {{.Name = "-readonly", .Flag = &opts_.ReadOnly},
                                  {.Name = "-rehash", .Flag = &opts_.Rehash},
                                  {.Name = "-method", .Text = &opts_.Method},
                                  {.Name = "-cost", .Text = &cost_}};
    std::vector<ModOption> own = store_options();
    all.insert(all.end(), own.begin(), own.end());
    return all;
}

// Takes in -method and -cost: 1, or 0 with the reason for an unknown hash
// method or a cost the method does not take.
int ModStore::settings(std::string *err)
{
    opts_.Cost = strtoul(cost_.c_str(), nullptr, 10);
    opts_.Prefix = hash_prefix(opts_.Method.c_str());
    if (!opts_.Prefix) {
        *err = "unknown hash method " + opts_.Method;
        return 0;
    }
    if (!hash_setting_ok(opts_.Prefix, opts_.Cost)) {
        *err = "-cost " + cost_ + " does not suit " + opts_.Method;
        return 0;
    }
    return 1;
}

int ModStore::open(std::string *err)
{
    return settings(err) && open_store(err);
}

void ModStore::selfcheck(ModCheck *c)
{
    std::string err;
    if (!settings(&err)) c->problem(err);
    check_store(c);
}

const std::string &ModStore::typical()
{
    static const std::string none;
    return none;
}

void ModStore::lookup(const char *name)
{
    ModUser u;
    std::string err;
    int r = find(name, &u, &err);
    if (r < 0) return reply_failure(r, err);
    if (r == MOD_NONE) return mod_reply("-ERR %s not found", name);
    if (u.extra.empty()) return mod_reply("+OK %s", name);
    mod_reply("+OK %s %s", name, u.extra.c_str());
}

// Stores a right password again under the configured method. A failure
// changes nothing for the check that led here.
void ModStore::rehash_right(const ModUser &u, const char *password)
{
    if (!opts_.Rehash || opts_.ReadOnly) return;
    if (opts_.Method == hash_method(u.hash.c_str())) return;
    std::string h, err;
    if (!hash_make(opts_.Prefix, opts_.Cost, password, &h)) return;
    update(u.name.c_str(), h.c_str(), nullptr, u.hash.c_str(), &err);
}

// Spends the time of one verification, so that an unknown user takes as
// long to refuse as a wrong password: against a hash of the store's most
// common method when it knows one, else of the configured method. The
// result is thrown away.
void ModStore::verify_nothing(const char *password)
{
    static std::string made;
    const std::string *dummy = &typical();
    if (dummy->empty()) dummy = &made;
    if (made.empty() && dummy == &made && !hash_make(opts_.Prefix, opts_.Cost, "-", &made)) return;
    hash_verify(password, dummy->c_str());
}

void ModStore::check(const char *name, const char *password)
{
    ModUser u;
    std::string err;
    int r = find(name, &u, &err);
    if (r < 0) return reply_failure(r, err);
    if (r == MOD_NONE) verify_nothing(password);
    if (r == MOD_NONE || !hash_verify(password, u.hash.c_str()))
        return mod_reply("-ERR %s not found or password incorrect", name);
    rehash_right(u, password);
    const char *method = hash_method(u.hash.c_str());
    if (u.extra.empty()) return mod_reply("+OK %s %s %s", name, kind(), method);
    mod_reply("+OK %s %s %s %s", name, kind(), method, u.extra.c_str());
}

void ModStore::set(const char *name, const char *password, const char *extra)
{
    if (extra && !extra_ok(extra)) return mod_reply("-ERR %s extra information invalid", name);
    if (extra && !extra_fits(kind(), name, extra))
        return mod_reply("-ERR %s extra information too long", name);
    if (opts_.ReadOnly) return mod_reply("-ERR %s not set, the store is read-only", name);
    std::string err, hash;
    int r;
    if (!password) {
        r = update(name, nullptr, extra, nullptr, &err);
    } else {
        if (!hash_make(opts_.Prefix, opts_.Cost, password, &hash))
            return mod_reply("-DEAD %s %s", name, hash.c_str());
        r = put(name, hash.c_str(), extra, &err);
        if (r == MOD_NONE)
            return mod_reply("-ERR %s not set, the store holds it in another letter case", name);
    }
    if (r < 0) return reply_failure(r, err);
    if (r == MOD_NONE) return mod_reply("-ERR %s not found", name);
    mod_reply("+OK %s set", name);
}

void ModStore::del(const char *name)
{
    if (opts_.ReadOnly) return mod_reply("-ERR %s not deleted, the store is read-only", name);
    std::string err;
    int r = remove(name, &err);
    if (r < 0) return reply_failure(r, err);
    if (r == MOD_NONE) return mod_reply("-ERR %s not found", name);
    mod_reply("+OK %s deleted", name);
}

void ModStore::search(const char *pattern)
{
    int found = 0, total = 0;
    std::string err;
    int r = each(
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

int mod_check_store_file(ModCheck *c, const std::string &path, const ModOptions &o)
{
    if (path.empty()) {
        c->problem("no store given (-file PATH)");
        return 0;
    }
    std::string why;
    int trust = mod_file_check(path.c_str(), MOD_FILE_STORE, &why);
    if (trust == MOD_FILE_UNSAFE) c->problem(why);
    if (trust == MOD_FILE_EXPOSED) c->warning(why);
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
    struct stat st;
    bool there = stat(path.c_str(), &st) == 0;
    if (!there && (errno != ENOENT || o.ReadOnly)) {
        c->problem("cannot open " + path + ": " + strerror(errno));
        return 0;
    }
    if (!there) c->warning("store " + path + " does not exist: the first start creates it");
    if (there && !may(path, R_OK)) c->problem("cannot read " + path + ": " + strerror(errno));
    // Changes write new files beside the store (a copy, a lock, a journal).
    if (!o.ReadOnly && there && !may(path, W_OK))
        c->problem("cannot write " + path + ": " + strerror(errno));
    if (!o.ReadOnly && !may(dir, W_OK | X_OK))
        c->problem("cannot write in " + dir + ", the directory of " + path + ": " +
                   strerror(errno));
    return there && trust != MOD_FILE_UNSAFE && may(path, R_OK);
}
