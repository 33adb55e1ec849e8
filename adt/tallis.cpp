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

extern char **environ;

namespace adt
{

// Every text buffer of the multiplexer: at most 999 characters.
static const int BFSZ = 1000;
// The number of an empty slot, and of no module at all.
static const int NO_MODULE = INT_MAX;
// Failures a module survives; the next one gives it up.
static const int MAX_RESTARTS = 5;
// Shortest wait for a reply line, in ms.
static const int MIN_TIMEOUT = 100;

static int _is_dead(const char *reply)
{
    return reply && strncmp(reply, "-DEAD", 5) == 0;
}

static int _is_success(const char *reply)
{
    return reply && reply[0] == '+';
}

// A fresh process record for m, started with its command line; 1 when the
// child was created.
static int _start(Module *m, const char *binary)
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
static void _make_room(Tallis *x, int slot)
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
        char reason[BFSZ];
        lprintf(reason, sizeof reason, "module (%s), no free slot for Module%d", binary, priority);
        emsg("%s", reason);
        if (errmsg) scpy(errmsg, reason, bfsz);
        return 0;
    }
    if (x->Modules[slot].Process) _make_room(x, slot);

    Module *m = &x->Modules[slot];
    m->Uid = x->uid;
    m->Gid = x->gid;
    if (!_start(m, binary)) {
        if (errmsg) {
            char error[BFSZ];
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
// it is thrown away before every request line: what the channel holds
// unread, then what waits on the pipe.
static void _discard_text(Module *m, const char *text, int bytes)
{
    char line[BFSZ];
    while (bytes > 0) {
        const char *lf = static_cast<const char *>(memchr(text, '\n', bytes));
        int len = lf ? static_cast<int>(lf - text) : bytes;
        int shown = len > 0 && text[len - 1] == '\r' ? len - 1 : len;
        scpy(line, text, shown < BFSZ ? shown + 1 : BFSZ);
        emsg("Module%d: discarding unexpected output (%s)", m->Priority, line);
        int used = lf ? len + 1 : len;
        text += used;
        bytes -= used;
    }
}

static void _discard_stale(Module *m)
{
    Spawn *p = m->Process;
    if (p->inupto < p->inbytes) _discard_text(m, p->inbf + p->inupto, p->inbytes - p->inupto);
    p->inbytes = 0;
    p->inupto = 0;
    p->inbf[0] = 0;
    int waiting = spawn_peek(p);
    char chunk[BFSZ];
    while (waiting > 0) {
        int n = spawn_read(p, chunk, waiting < BFSZ - 1 ? waiting + 1 : BFSZ);
        if (n <= 0) break;
        _discard_text(m, chunk, n);
        waiting -= n;
    }
}

int tallis_quit(Tallis *x)
{
    dmsg("Quit");
    for (int i = 0; x && i < x->ModuleCount; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        _discard_stale(m);
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
    return _start(m, m->Binary);
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
    char bf[BFSZ];
    bf[0] = 0;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(bf, sizeof bf, format, ap);
    va_end(ap);
    if (n < 0 || n >= BFSZ) n = BFSZ - 1;
    bf[n] = 0;
    return s_strdup(bf);
}

// Readies an exchange: no result yet, and nothing stale left to be taken
// for the reply. 0 when there is no module to talk to.
static int _begin(Module *m, char **result)
{
    if (!result) return 0;
    *result = nullptr;
    if (!m || !m->Process) return 0;
    _discard_stale(m);
    return 1;
}

// The failure of an exchange: logs it, takes a last look at what the
// module said, leaves the failure text in *result and counts the module
// dead, which gives it a new channel so nothing of this exchange is read
// later. `name` is the user name as sent (lookup and check), else null.
static int _failed(Module *m, const char *name, char **result)
{
    char bf[BFSZ];
    spawn_error(bf, sizeof bf);
    emsg("Failed to talk to Module%d (%s), %s", m->Priority, m->Binary, bf);
    char last[BFSZ];
    if (spawn_gets(m->Process, last, sizeof last, nullptr, 1) >= 0) {
        emsg("Last thing read (%s)", last);
        scpy(bf, last, sizeof bf);
    }
    free(*result);
    *result = name ? tallis_make_result("-ERR %s module (%s), %s", name, m->Binary, bf)
                   : tallis_make_result("-ERR module (%s), %s", m->Binary, bf);
    module_dead(m);
    return 0;
}

// The longest request line a module can be sent, before its line feed.
static const int MAX_REQUEST = 997;

// Formats a request and sends it: what spawn_printf gives (0: the write
// failed), or -1 for a request longer than a request line can carry. Cut
// to fit, it would ask about another user or store less than was given,
// so it is refused with a failure text in *result instead, and the module,
// which was asked nothing, is not counted dead. name: as for _failed.
static int _send(Module *m, const char *name, char **result, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
static int _send(Module *m, const char *name, char **result, const char *format, ...)
{
    // One byte more than a request line holds is enough to tell a request
    // that is too long: the formatter stops there.
    char line[MAX_REQUEST + 2];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n >= 0 && n <= MAX_REQUEST) return spawn_printf(m->Process, "%s", line);
    // The line may hold a password: only its length is logged.
    emsg("Module%d: request of more than %d characters not sent", m->Priority, MAX_REQUEST);
    *result = name ? tallis_make_result("-ERR %s module (%s), Request too long", name, m->Binary)
                   : tallis_make_result("-ERR module (%s), Request too long", m->Binary);
    return -1;
}

// Reads the one reply line to a request (sent: spawn_printf's result). A
// line the channel reports as longer than the buffer is read again into
// the heap.
static int _reply(Module *m, int sent, const char *name, char **result)
{
    if (sent < 0) return 0;
    if (!sent) return _failed(m, name, result);
    char bf[BFSZ];
    int avail = 0;
    if (spawn_gets(m->Process, bf, sizeof bf, &avail, m->Timeout) >= 0) {
        *result = s_strdup(bf);
    } else if (avail > 0) {
        *result = static_cast<char *>(calloc(avail + 1, 1));
        if (!*result || spawn_gets(m->Process, *result, avail + 1, nullptr, m->Timeout) < 0)
            return _failed(m, name, result);
    }
    if (!*result) return _failed(m, name, result);
    dmsg("Module%d[%s]", m->Priority, *result);
    return 1;
}

int tallis_module_lookup(Module *m, const char *username, char **result)
{
    if (!_begin(m, result)) return 0;
    int sent = _send(m, username, result, "lookup %s", username);
    return _reply(m, sent, username, result);
}

int tallis_module_check(Module *m, const char *username, const char *password, const char *ip,
                        char **result)
{
    if (!_begin(m, result)) return 0;
    int sent = _send(m, username, result, "check %s %s %s", username, password, ip ? ip : "");
    return _reply(m, sent, username, result);
}

int tallis_module_set(Module *m, const char *username, const char *password, const char *rest,
                      char **result)
{
    if (!_begin(m, result)) return 0;
    int sent = _send(m, nullptr, result, "set %s %s%s%s", username, password, rest ? " " : "",
                     rest ? rest : "");
    return _reply(m, sent, nullptr, result);
}

int tallis_module_del(Module *m, const char *username, char **result)
{
    if (!_begin(m, result)) return 0;
    int sent = _send(m, nullptr, result, "del %s", username);
    return _reply(m, sent, nullptr, result);
}

int tallis_module_search(Module *m, const char *string, const char *rest, TallisLineCB cb,
                         char **result)
{
    if (!_begin(m, result)) return 0;
    int size = BFSZ;
    char *line = static_cast<char *>(malloc(size));
    if (!line) return 0;
    int sent =
        _send(m, nullptr, result, "search %s%s%s", string, rest ? " " : "", rest ? rest : "");
    if (sent <= 0) {
        free(line);
        return sent < 0 ? 0 : _failed(m, nullptr, result);
    }
    for (;;) {
        int avail = 0;
        if (spawn_gets(m->Process, line, size, &avail, m->Timeout) < 0) {
            char *bigger = avail > 0 ? static_cast<char *>(realloc(line, avail + 1)) : nullptr;
            if (bigger) {
                line = bigger;
                size = avail + 1;
            }
            if (!bigger || spawn_gets(m->Process, line, size, nullptr, m->Timeout) < 0) {
                free(line);
                return _failed(m, nullptr, result);
            }
        }
        dmsg("Module%d[%s]", m->Priority, line);
        if (_is_dead(line)) break;
        if (cb) cb(line);
        if (strncmp(line, "+DATA ", 6) != 0) break;
    }
    *result = s_strdup(line);
    free(line);
    return 1;
}

// --- Operations over the table ---

// The gatekeeper's name for module m, or the name buffer when none is set.
static char *_gate(TallisCB cb, Module *m, char *name)
{
    return cb ? cb(m, m->Data, name, BFSZ) : name;
}

static char *_gate2(TallisCB2 cb, Module *m, char *name, char *second)
{
    return cb ? cb(m, m->Data, name, second, BFSZ) : name;
}

// The result of a walk that asked no module.
static void _refuse(char **result, const char *op, const char *who)
{
    if (!*result) *result = tallis_make_result("-ERR %s '%s' not allowed", who, op);
}

int tallis_lookup(Tallis *x, const char *xusername, char **result)
{
    if (!result) return 0;
    *result = nullptr;
    dmsg("Lookup[%s]", xusername);
    char name[BFSZ];
    scpy(name, xusername, sizeof name);
    int found = 0;
    for (int i = 0; x && i < x->ModuleCount && !found; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        char *use = _gate(x->LCB, m, name);
        if (!use) continue;
        free(*result);
        if (!tallis_module_lookup(m, use, result)) continue;
        if (_is_success(*result))
            found = 1;
        else if (_is_dead(*result))
            module_dead(m);
    }
    _refuse(result, "lookup", xusername);
    return found;
}

// Sets the user just accepted by a check (reply: that module's "+" reply)
// into the first module whose set gatekeeper takes it, with the check's
// password and the reply's fifth field. 1 when such a module was found.
static int _set_on_check(Tallis *x, char *name, const char *password, const char *reply)
{
    char copy[BFSZ];
    scpy(copy, reply, sizeof copy);
    char *field[5];
    int np = ssplit(copy, " ", field, 5, 1);
    if (np < 4) emsg("np(%d) < 4 (%s)", np, reply);
    const char *extra = np == 5 ? field[4] : "";
    for (int i = 0; i < x->ModuleCount; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        // The set gatekeeper only reads the password.
        char *use = _gate2(x->SCB, m, name, const_cast<char *>(password));
        if (!use) continue;
        char *answer = nullptr;
        if (!tallis_module_set(m, use, password, extra, &answer))
            emsg("Failed to set on check (%s)", answer);
        free(answer);
        return 1;
    }
    return 0;
}

int tallis_check(Tallis *x, const char *xusername, const char *password, const char *xip,
                 char **result)
{
    if (!result) return 0;
    *result = nullptr;
    dmsg("Check[%s|xxxx]", xusername);
    char name[BFSZ], ip[BFSZ];
    scpy(name, xusername, sizeof name);
    scpy(ip, xip, sizeof ip);
    for (int i = 0; x && i < x->ModuleCount; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        char *use = _gate2(x->CCB, m, name, ip);
        if (!use) continue;
        free(*result);
        if (!tallis_module_check(m, use, password, ip, result)) continue;
        if (_is_success(*result))
            return m->SetOnCheck ? _set_on_check(x, name, password, *result) : 1;
        if (_is_dead(*result)) module_dead(m);
    }
    _refuse(result, "check", xusername);
    return 0;
}

int tallis_set(Tallis *x, const char *xusername, const char *xpassword, const char *rest,
               char **result)
{
    if (!result) return 0;
    *result = nullptr;
    dmsg("Set[%s|xxxx|%s]", xusername, rest ? rest : "");
    char name[BFSZ], password[BFSZ];
    scpy(name, xusername, sizeof name);
    scpy(password, xpassword, sizeof password);
    for (int i = 0; x && i < x->ModuleCount; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        char *use = _gate2(x->SCB, m, name, password);
        if (!use) continue;
        free(*result);
        if (!tallis_module_set(m, use, password, rest, result)) continue;
        if (_is_dead(*result)) module_dead(m);
        if (x->SetOnce) break;
    }
    _refuse(result, "set", xusername);
    return 0;
}

int tallis_del(Tallis *x, const char *xusername, char **result)
{
    if (!result) return 0;
    *result = nullptr;
    dmsg("Del[%s]", xusername);
    char name[BFSZ];
    scpy(name, xusername, sizeof name);
    for (int i = 0; x && i < x->ModuleCount; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        char *use = _gate(x->DCB, m, name);
        if (!use) continue;
        free(*result);
        if (!tallis_module_del(m, use, result)) continue;
        if (_is_dead(*result)) module_dead(m);
        if (x->DelOnce) break;
    }
    _refuse(result, "del", xusername);
    return 0;
}

int tallis_search(Tallis *x, const char *xstring, const char *rest, TallisLineCB cb, char **result)
{
    if (!result) return 0;
    *result = nullptr;
    dmsg("Search[%s|%s]", xstring, rest ? rest : "");
    char name[BFSZ];
    scpy(name, xstring, sizeof name);
    for (int i = 0; x && i < x->ModuleCount; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process) continue;
        char *use = _gate(x->SECB, m, name);
        if (!use) continue;
        free(*result);
        if (!tallis_module_search(m, use, rest, cb, result)) continue;
        if (_is_dead(*result)) module_dead(m);
    }
    _refuse(result, "search", xstring);
    return 0;
}

} // namespace adt
