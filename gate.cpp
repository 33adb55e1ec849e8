// Gatekeeping: which module takes part in an operation, under which name.
#include "gate.h"

#include "adt/lib.h"
#include "adt/log.h"
#include "adt/wire.h"

#include <cstdlib>
#include <cstring>

using namespace adt;

// Entries of a mask list: the 100th keeps the rest of the list.
static const int MASK_ENTRIES = 100;

// The module's value of a setting: its domain's, else the global one, else
// the row's default or fallback.
static const char *setting(CorvaneData *d, int id)
{
    return d ? sini_getx(d->ini, id, d->domain, nullptr, 0) : nullptr;
}

int match_names(const char *mask, const char *given, const char *rewritten)
{
    if (!mask) return 0;
    char copy[WIRE_BUF];
    char *entry[MASK_ENTRIES];
    scpy(copy, mask, WIRE_BUF);
    int n = ssplit(copy, ", ", entry, MASK_ENTRIES, 1);
    for (int i = 0; i < n; i++) {
        const char *pattern = entry[i];
        // An exclusion ignores letter case: a directory may match "ROOT" to
        // the entry root, and an exclusion is only as good as its weakest store.
        if (pattern[0] == '!' && pattern[1] != '!') {
            if (wmatch(given, pattern + 1, 0)) return 0;
            if (rewritten && wmatch(rewritten, pattern + 1, 0)) return 0;
            continue;
        }
        if (pattern[0] == '!') pattern++;
        if (wild_match(given, pattern)) return 1;
    }
    return 0;
}

int match_match(const char *mask, const char *name)
{
    return match_names(mask, name, nullptr);
}

char *strip_username(CorvaneData *data, char *username)
{
    // The name as one module is to be asked: later modules, and a set on
    // check, must still see the name exactly as the client gave it, so a
    // removed suffix is cut off a copy here, never off the caller's buffer.
    static char rewritten[WIRE_BUF];
    if (!username) return nullptr;
    char *name = username;
    const char *prefix = setting(data, I_STRIP_PREFIX);
    if (prefix && s_strnicmp(name, prefix, strlen(prefix)) == 0) name += strlen(prefix);
    const char *suffix = setting(data, I_STRIP_SUFFIX);
    size_t len = strlen(name), slen = suffix ? strlen(suffix) : 0;
    if (slen == 0 || slen > len || memcmp(name + len - slen, suffix, slen) != 0) return name;
    memcpy(rewritten, name, len - slen);
    rewritten[len - slen] = 0;
    return rewritten;
}

// 1 when the operation's switch (on, its value) is off, logged.
static int switched_off(int module, const char *op, const char *on)
{
    if (!isfalse(on)) return 0;
    dmsg("Not doing %s in Module%d because do_%s is FALSE", op, module, op);
    return 1;
}

// The name module m is asked under when the operation's mask (row mask_id)
// admits name; else null, logged.
static char *masked(Module *m, CorvaneData *d, char *name, const char *op, int mask_id)
{
    const char *mask = setting(d, mask_id);
    char *use = strip_username(d, name);
    if (match_names(mask, name, use)) return use;
    dmsg("Not doing %s in Module%d because %s does not match [%s]", op, module_priority(m), name,
         mask);
    return nullptr;
}

// The shape shared by lookup, del and search: the operation's switch, then
// its mask, then the name with prefix and suffix removed.
static char *gate(Module *m, CorvaneData *d, char *name, const char *op, int on, int mask_id)
{
    if (switched_off(module_priority(m), op, setting(d, on))) return nullptr;
    return masked(m, d, name, op, mask_id);
}

char *cblookup(Module *m, void *data, char *username, int)
{
    return gate(m, (CorvaneData *)data, username, "lookup", I_DO_LOOKUP, I_LOOKUP);
}

char *cbdel(Module *m, void *data, char *username, int)
{
    return gate(m, (CorvaneData *)data, username, "del", I_DO_DEL, I_DEL);
}

char *cbsearch(Module *m, void *data, char *string, int)
{
    return gate(m, (CorvaneData *)data, string, "search", I_DO_SEARCH, I_SEARCH);
}

char *cbcheck(Module *m, void *data, char *username, char *ip, int)
{
    CorvaneData *d = (CorvaneData *)data;
    int module = module_priority(m);
    const char *on = setting(d, I_DO_CHECK);
    // The mark is set before anything else is decided, so a module that is
    // being moved away from is marked by the first check that reaches it.
    if (on && strcmp(on, "move_from") == 0) {
        imsg("Queue'ing a 'set on check' operation for Module%d", module);
        module_set_on_check(m, 1);
    }
    if (switched_off(module, "check", on)) return nullptr;
    char *use = masked(m, d, username, "check", I_CHECK);
    if (!use) return nullptr;
    const char *ips = setting(d, I_IP_MATCH);
    if (!(ips && strcmp(ips, "*") == 0) && ip && !wild_list(ip, ips)) {
        dmsg("Not doing check in Module%d because %s does not match [%s]", module, ip, ips);
        return nullptr;
    }
    return use;
}

// A set whose password is "(NULL)" (or missing) carries no password: it
// only changes the user's extra information.
static int no_password(const char *password)
{
    return !password || strcmp(password, WIRE_NO_PASSWORD) == 0;
}

// 1 when module m answers a lookup of username with "+".
static int user_exists(Module *m, int module, char *username)
{
    char *reply = nullptr;
    if (!tallis_module_lookup(m, username, &reply)) {
        // No reply text: the module has been given up.
        emsg("Not doing set in Module%d because user lookup failed, %s", module,
             reply ? reply : "given up after repeated failures");
        free(reply);
        return 0;
    }
    int exists = reply && reply[0] == '+';
    if (!exists)
        dmsg("Not doing set in Module%d because do_set is 'existing' and user does not", module);
    free(reply);
    return exists;
}

char *cbset(Module *m, void *data, char *username, char *password, int)
{
    CorvaneData *d = (CorvaneData *)data;
    int module = module_priority(m);
    char *use = masked(m, d, username, "set", I_SET);
    if (!use) return nullptr;
    const char *on = setting(d, I_DO_SET);
    if (switched_off(module, "set", on)) return nullptr;
    if (s_stricmp(on, "move_to") == 0) {
        if (no_password(password)) {
            dmsg("Not doing set in Module%d because do_set is 'move_to' and password has *not* "
                 "been provided",
                 module);
            return nullptr;
        }
    } else if (s_stricmp(on, "move_from") == 0) {
        if (!no_password(password)) {
            dmsg("Not doing set in Module%d because do_set is 'move_from' and password *has* "
                 "been provided",
                 module);
            return nullptr;
        }
    } else if (s_stricmp(on, "existing") == 0) {
        // The lookup asks under the name the set itself would use.
        if (!user_exists(m, module, use)) return nullptr;
    }
    return use;
}
