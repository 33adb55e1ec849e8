// The module multiplexer: the module table, the line protocol spoken with
// one module, and the walk of each operation over the table.
#include "adt/tallis.h"

#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "adt/lib.h"
#include "adt/log.h"
#include "adt/spawn.h"
#include "adt/wire.h"

extern char **environ;

namespace adt
{

// The number of an empty slot, and of no module at all.
static const int NO_MODULE = INT_MAX;
// Failures a module survives; the next one gives it up.
static const int MAX_RESTARTS = 5;
// Shortest wait for a reply line, in ms.
static const int MIN_TIMEOUT = 100;

static int is_dead(const char *reply)
{
    return reply && strncmp(reply, "-DEAD", 5) == 0;
}

static int is_success(const char *reply)
{
    return reply && reply[0] == '+';
}

// A fresh process record for m, started with its command line; 1 when the
// child was created.
static int start_module(Module *m, const char *binary)
{
    m->Process = spawn_init(m->Uid, m->Gid);
    spawn_copy_env(m->Process, environ);
    return spawn_start(m->Process, binary);
}

// --- The table and its modules ---

Tallis *tallis_init(int modules)
{
    if (modules < 0) modules = 0;
    Tallis *x = static_cast<Tallis *>(calloc(1, sizeof(Tallis)));
    if (!x) return nullptr;
    // A table of no slots still gets an allocation of its own.
    x->Modules = static_cast<Module *>(calloc(modules ? modules : 1, sizeof(Module)));
    if (!x->Modules) {
        free(x);
        return nullptr;
    }
    x->ModuleCount = modules;
    for (int i = 0; i < modules; i++) module_clear(&x->Modules[i]);
    x->uid = -1;
    x->gid = -1;
    return x;
}

void tallis_setup(Tallis *x, TallisCB lookup_cb, TallisCB2 check_cb, TallisCB2 set_cb,
                  TallisCB del_cb, TallisCB search_cb)
{
    if (!x) return;
    x->LCB = lookup_cb;
    x->CCB = check_cb;
    x->SCB = set_cb;
    x->DCB = del_cb;
    x->SECB = search_cb;
}

void tallis_set_once(Tallis *x, int mode)
{
    if (x) x->SetOnce = mode;
}

void tallis_del_once(Tallis *x, int mode)
{
    if (x) x->DelOnce = mode;
}

// Frees up the occupied slot `slot` for a new module: a full table gives up
// its last module, and the modules from `slot` on move one place toward the
// end. The slot is left empty; its old contents now belong to the next one.
static void make_room(Tallis *x, int slot)
{
    int last = x->ModuleCount - 1;
    if (slot == last || x->Modules[last].Process) {
        emsg("Too many modules, freeing last module in favour of new one");
        module_clear(&x->Modules[last]);
    }
    if (slot < last)
        memmove(&x->Modules[slot + 1], &x->Modules[slot], (last - slot) * sizeof(Module));
    Module *m = &x->Modules[slot];
    m->Process = nullptr;
    m->Priority = NO_MODULE;
    m->Binary = nullptr;
    m->Data = nullptr;
    m->Dead = 0;
}

int tallis_add(Tallis *x, const char *binary, int priority, int timeout, void *data, char *errmsg,
               int bfsz)
{
    if (!x) {
        if (errmsg) lprintf(errmsg, bfsz, "module (%s), no module table", binary);
        return 0;
    }
    int slot = 0;
    while (slot < x->ModuleCount && x->Modules[slot].Process &&
           x->Modules[slot].Priority < priority)
        slot++;
    if (slot == x->ModuleCount) {
        // Only a full table whose modules all number less gets here: nothing
        // is given up for a module that would sort behind all of them.
        char reason[WIRE_BUF];
        lprintf(reason, sizeof reason, "module (%s), no free slot for Module%d", binary, priority);
        emsg("%s", reason);
        if (errmsg) scpy(errmsg, reason, bfsz);
        return 0;
    }
    if (x->Modules[slot].Process) make_room(x, slot);

    Module *m = &x->Modules[slot];
    m->Uid = x->uid;
    m->Gid = x->gid;
    if (!start_module(m, binary)) {
        if (errmsg) {
            char error[WIRE_BUF];
            spawn_error(error, sizeof error);
            lprintf(errmsg, bfsz, "module (%s), %s", binary, error);
        }
        module_clear(m);
        return 0;
    }
    m->Binary = s_strdup(binary);
    m->Priority = priority;
    m->Timeout = timeout <= MIN_TIMEOUT ? MIN_TIMEOUT : timeout;
    m->Data = data;
    m->Dead = 0;
    m->SetOnCheck = 0;
    imsg("Module%d: pid(%d) timeout=(%d) binary=(%s)", priority, spawn_get_pid(m->Process),
         m->Timeout, binary);
    return 1;
}

// Whatever m wrote that no request asked for would be taken as the reply
// to the next request (a stale "+OK" answering someone else's check), so
// it is thrown away before every request line.
static void discard_stale(Module *m)
{
    char who[32];
    lprintf(who, sizeof who, "Module%d", m->Priority);
    spawn_discard(m->Process, who);
}

int tallis_quit(Tallis *x)
{
    dmsg("Quit");
    for (int i = 0; x && i < x->ModuleCount; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        discard_stale(m);
        spawn_printf(m->Process, "quit");
    }
    return 1;
}

void tallis_free(Tallis **x)
{
    if (!x || !*x) return;
    // Every module is told to stop before any is waited for, so that they
    // end side by side: stopping one after another would add up each
    // one's time to end. Freeing each then signals again (harmless) and
    // reaps it.
    for (int i = 0; i < (*x)->ModuleCount; i++) {
        int pid = spawn_get_pid((*x)->Modules[i].Process);
        if (pid > 0) kill(pid, SIGTERM);
    }
    for (int i = 0; i < (*x)->ModuleCount; i++) module_clear(&(*x)->Modules[i]);
    free((*x)->Modules);
    free(*x);
    *x = nullptr;
}

void module_dead(Module *m)
{
    if (!m) return;
    if (m->Dead >= MAX_RESTARTS) {
        emsg("Module%d reported -DEAD %d times, not using it anymore", m->Priority, m->Dead);
        module_clear(m);
        return;
    }
    m->Dead++;
    emsg("Module%d reported -DEAD %d times, restarting...", m->Priority, m->Dead);
    module_restart(m);
}

int module_restart(Module *m)
{
    if (!m) return 0;
    imsg("Restarting module %d", m->Priority);
    spawn_free(&m->Process, 0);
    return start_module(m, m->Binary);
}

void module_clear(Module *m)
{
    if (!m) return;
    spawn_free(&m->Process, 0);
    m->Priority = NO_MODULE;
    free(m->Binary);
    m->Binary = nullptr;
    m->Data = nullptr;
    m->Dead = 0;
}

int module_priority(Module *m)
{
    return m ? m->Priority : NO_MODULE;
}

void module_set_on_check(Module *m, int mode)
{
    if (m) m->SetOnCheck = mode;
}

// --- Exchanges with one module ---

char *tallis_make_result(const char *format, ...)
{
    char bf[WIRE_BUF];
    bf[0] = 0;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(bf, sizeof bf, format, ap);
    va_end(ap);
    if (n < 0 || n >= WIRE_BUF) n = WIRE_BUF - 1;
    bf[n] = 0;
    return s_strdup(bf);
}

namespace
{

// How an exchange with one module ended.
enum Asked {
    NOT_SENT = -1, // the request would not fit a request line; nothing was sent
    FAILED = 0,    // the module could not be talked to; it has been counted dead
    DONE = 1,      // a reply was read, whatever it says
};

// The failure of an exchange: logs it, takes a last look at what the
// module said, leaves the failure text in *result and counts the module
// dead, which gives it a new channel so nothing of this exchange is read
// later. `who` is the user name as sent (lookup and check), else null.
int failed(Module *m, const char *who, char **result)
{
    char bf[WIRE_BUF];
    spawn_error(bf, sizeof bf);
    emsg("Failed to talk to Module%d (%s), %s", m->Priority, m->Binary, bf);
    char last[WIRE_BUF];
    if (spawn_gets(m->Process, last, sizeof last, nullptr, 1) >= 0) {
        emsg("Last thing read (%s)", last);
        scpy(bf, last, sizeof bf);
    }
    free(*result);
    *result = who ? tallis_make_result("-ERR %s module (%s), %s", who, m->Binary, bf)
                  : tallis_make_result("-ERR module (%s), %s", m->Binary, bf);
    module_dead(m);
    return FAILED;
}

// Formats a request and sends it to m, after dropping whatever m wrote
// unasked. A request longer than a request line is not sent: cut to fit,
// it would ask about another user or store less than was given, so it is
// refused with a failure text in *result instead, and the module, which
// was asked nothing, is not counted dead. who: as for failed.
int send_request(Module *m, const char *who, char **result, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int send_request(Module *m, const char *who, char **result, const char *format, ...)
{
    discard_stale(m);
    // One byte more than a request line holds is enough to tell a request
    // that is too long: the formatter stops there.
    char line[WIRE_TEXT + 2];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n >= 0 && n <= WIRE_TEXT)
        return spawn_printf(m->Process, "%s", line) ? DONE : failed(m, who, result);
    // The line may hold a password: only its length is logged.
    emsg("Module%d: request of more than %d characters not sent", m->Priority, WIRE_TEXT);
    *result = who ? tallis_make_result("-ERR %s module (%s), Request too long", who, m->Binary)
                  : tallis_make_result("-ERR module (%s), Request too long", m->Binary);
    return NOT_SENT;
}

// Reads m's next line within its time-out into line (size bytes). A line
// the channel reports as longer is read again into a new heap buffer of
// its length, handed back in *big for the caller to free. The line, or
// null when none could be read.
char *next_line(Module *m, char *line, int size, char **big)
{
    int avail = 0;
    if (spawn_gets(m->Process, line, size, &avail, m->Timeout) >= 0) return line;
    if (avail <= 0) return nullptr;
    free(*big);
    *big = static_cast<char *>(calloc(avail + 1, 1));
    if (!*big || spawn_gets(m->Process, *big, avail + 1, nullptr, m->Timeout) < 0) return nullptr;
    return *big;
}

// Reads the one reply line to a request into *result.
int read_reply(Module *m, const char *who, char **result)
{
    char bf[WIRE_BUF];
    char *big = nullptr;
    char *line = next_line(m, bf, sizeof bf, &big);
    if (line == bf)
        *result = s_strdup(bf);
    else if (line)
        *result = big;
    else
        free(big);
    if (!*result) return failed(m, who, result);
    dmsg("Module%d[%s]", m->Priority, *result);
    return DONE;
}

// The reply to a request that send_request has handled (sent: its result).
int reply_to(int sent, Module *m, const char *who, char **result)
{
    return sent == DONE ? read_reply(m, who, result) : sent;
}

int lookup_exchange(Module *m, const char *username, char **result)
{
    return reply_to(send_request(m, username, result, "lookup %s", username), m, username, result);
}

int check_exchange(Module *m, const char *username, const char *password, const char *ip,
                   char **result)
{
    int sent =
        send_request(m, username, result, "check %s %s %s", username, password, ip ? ip : "");
    return reply_to(sent, m, username, result);
}

int set_exchange(Module *m, const char *username, const char *password, const char *rest,
                 char **result)
{
    int sent = send_request(m, nullptr, result, "set %s %s%s%s", username, password,
                            rest ? " " : "", rest ? rest : "");
    return reply_to(sent, m, nullptr, result);
}

int del_exchange(Module *m, const char *username, char **result)
{
    return reply_to(send_request(m, nullptr, result, "del %s", username), m, nullptr, result);
}

int search_exchange(Module *m, const char *string, const char *rest, TallisLineCB cb, char **result)
{
    int sent = send_request(m, nullptr, result, "search %s%s%s", string, rest ? " " : "",
                            rest ? rest : "");
    if (sent != DONE) return sent;
    char fixed[WIRE_BUF];
    char *big = nullptr;
    for (;;) {
        char *line = next_line(m, fixed, sizeof fixed, &big);
        if (!line) {
            failed(m, nullptr, result);
            free(big);
            return FAILED;
        }
        dmsg("Module%d[%s]", m->Priority, line);
        // The line is lent to cb: a "-DEAD" line is not passed on, and
        // every other line that is not data ends the reply.
        if (!is_dead(line) && cb) cb(line);
        if (is_dead(line) || strncmp(line, "+DATA ", 6) != 0) {
            *result = s_strdup(line);
            free(big);
            return DONE;
        }
    }
}

// Readies an exchange through the public calls: no result yet; 0 when
// there is no module to talk to.
int live(Module *m, char **result)
{
    if (!result) return 0;
    *result = nullptr;
    return m && m->Process;
}

} // namespace

int tallis_module_lookup(Module *m, const char *username, char **result)
{
    return live(m, result) && lookup_exchange(m, username, result) == DONE;
}

int tallis_module_check(Module *m, const char *username, const char *password, const char *ip,
                        char **result)
{
    return live(m, result) && check_exchange(m, username, password, ip, result) == DONE;
}

int tallis_module_set(Module *m, const char *username, const char *password, const char *rest,
                      char **result)
{
    return live(m, result) && set_exchange(m, username, password, rest, result) == DONE;
}

int tallis_module_del(Module *m, const char *username, char **result)
{
    return live(m, result) && del_exchange(m, username, result) == DONE;
}

int tallis_module_search(Module *m, const char *string, const char *rest, TallisLineCB cb,
                         char **result)
{
    return live(m, result) && search_exchange(m, string, rest, cb, result) == DONE;
}

// --- Operations over the table ---

namespace
{

struct Op;

// One operation's walk over the table.
struct Walk {
    Tallis *x;
    const Op *op;
    const char *given;     // the caller's user name or search string
    char name[WIRE_BUF];   // the gatekeepers' copy of it, which they may rewrite
    char second[WIRE_BUF]; // check: the client address; set: the password
    const char *password;  // check: the caller's password
    const char *rest;      // set: the extra information; search: the extra text
    TallisLineCB cb;       // search: where the lines go
    char **result;
};

// What tells the five operations apart: their gatekeeper, their exchange,
// and their rule after a module has answered.
struct Op {
    const char *word;         // the command, as in "-ERR %s 'lookup' not allowed"
    TallisCB Tallis::*gate;   // lookup, del, search: the gatekeeper
    TallisCB2 Tallis::*gate2; // check, set: the gatekeeper taking the second text
    int (*ask)(Walk *w, Module *m, const char *use);
    // A reply beginning with "+" ends the walk with this result (null: the
    // reply is not tested).
    int (*accepted)(Walk *w, Module *m);
    int Tallis::*once; // set, del: the switch that stops after the first answer
};

// The gatekeeper's name for module m, or the name buffer when none is set.
char *gate(Walk *w, Module *m)
{
    if (w->op->gate2) {
        TallisCB2 cb = w->x->*w->op->gate2;
        return cb ? cb(m, m->Data, w->name, w->second, WIRE_BUF) : w->name;
    }
    TallisCB cb = w->x->*w->op->gate;
    return cb ? cb(m, m->Data, w->name, WIRE_BUF) : w->name;
}

int ask_lookup(Walk *w, Module *m, const char *use)
{
    return lookup_exchange(m, use, w->result);
}

int ask_check(Walk *w, Module *m, const char *use)
{
    return check_exchange(m, use, w->password, w->second, w->result);
}

int ask_set(Walk *w, Module *m, const char *use)
{
    return set_exchange(m, use, w->second, w->rest, w->result);
}

int ask_del(Walk *w, Module *m, const char *use)
{
    return del_exchange(m, use, w->result);
}

int ask_search(Walk *w, Module *m, const char *use)
{
    return search_exchange(m, use, w->rest, w->cb, w->result);
}

int found(Walk *, Module *)
{
    return 1;
}

// A check accepted by m (*w->result: its "+" reply). When m is marked as
// the source of a set on check, the user is set into the first module whose
// set gatekeeper takes them, with the check's password and the reply's
// fifth field: 1 when such a module was found.
int set_on_check(Walk *w, Module *accepting)
{
    if (!accepting->SetOnCheck) return 1;
    char copy[WIRE_BUF];
    scpy(copy, *w->result, sizeof copy);
    char *field[5];
    int np = ssplit(copy, " ", field, 5, 1);
    if (np < 4) emsg("np(%d) < 4 (%s)", np, *w->result);
    const char *extra = np == 5 ? field[4] : "";
    Tallis *x = w->x;
    for (int i = 0; i < x->ModuleCount; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        // The set gatekeeper only reads the password.
        char *use = x->SCB ? x->SCB(m, m->Data, w->name, const_cast<char *>(w->password), WIRE_BUF)
                           : w->name;
        if (!use) continue;
        char *answer = nullptr;
        if (set_exchange(m, use, w->password, extra, &answer) != DONE)
            emsg("Failed to set on check (%s)", answer);
        free(answer);
        return 1;
    }
    return 0;
}

const Op LOOKUP = {"lookup", &Tallis::LCB, nullptr, ask_lookup, found, nullptr};
const Op CHECK = {"check", nullptr, &Tallis::CCB, ask_check, set_on_check, nullptr};
const Op SET = {"set", nullptr, &Tallis::SCB, ask_set, nullptr, &Tallis::SetOnce};
const Op DEL = {"del", &Tallis::DCB, nullptr, ask_del, nullptr, &Tallis::DelOnce};
const Op SEARCH = {"search", &Tallis::SECB, nullptr, ask_search, nullptr, nullptr};

// The walk shared by the five operations: every occupied slot in order,
// its gatekeeper, the exchange, and the operation's rule after an answer.
// *result is never null on return.
int walk(Walk *w)
{
    if (!w->result) return 0;
    *w->result = nullptr;
    scpy(w->name, w->given, sizeof w->name);
    Tallis *x = w->x;
    for (int i = 0; x && i < x->ModuleCount; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        char *use = gate(w, m);
        if (!use) continue;
        free(*w->result);
        *w->result = nullptr;
        if (w->op->ask(w, m, use) != DONE) continue;
        if (is_dead(*w->result))
            module_dead(m);
        else if (w->op->accepted && is_success(*w->result))
            return w->op->accepted(w, m);
        if (w->op->once && x->*w->op->once) break;
    }
    if (!*w->result)
        *w->result = tallis_make_result("-ERR %s '%s' not allowed", w->given, w->op->word);
    return 0;
}

// A walk of op for the caller's name; its other values are set by the caller.
Walk walk_of(Tallis *x, const Op *op, const char *given, char **result)
{
    Walk w = {};
    w.x = x;
    w.op = op;
    w.given = given;
    w.result = result;
    return w;
}

} // namespace

int tallis_lookup(Tallis *x, const char *xusername, char **result)
{
    dmsg("Lookup[%s]", xusername);
    Walk w = walk_of(x, &LOOKUP, xusername, result);
    return walk(&w);
}

int tallis_check(Tallis *x, const char *xusername, const char *password, const char *xip,
                 char **result)
{
    dmsg("Check[%s|xxxx]", xusername);
    Walk w = walk_of(x, &CHECK, xusername, result);
    scpy(w.second, xip, sizeof w.second);
    w.password = password;
    return walk(&w);
}

int tallis_set(Tallis *x, const char *xusername, const char *xpassword, const char *rest,
               char **result)
{
    dmsg("Set[%s|xxxx|%s]", xusername, rest ? rest : "");
    Walk w = walk_of(x, &SET, xusername, result);
    scpy(w.second, xpassword, sizeof w.second);
    w.rest = rest;
    walk(&w);
    return 0;
}

int tallis_del(Tallis *x, const char *xusername, char **result)
{
    dmsg("Del[%s]", xusername);
    Walk w = walk_of(x, &DEL, xusername, result);
    walk(&w);
    return 0;
}

int tallis_search(Tallis *x, const char *xstring, const char *rest, TallisLineCB cb, char **result)
{
    dmsg("Search[%s|%s]", xstring, rest ? rest : "");
    Walk w = walk_of(x, &SEARCH, xstring, result);
    w.rest = rest;
    w.cb = cb;
    walk(&w);
    return 0;
}

} // namespace adt
