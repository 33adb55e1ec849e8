// The module multiplexer: the module table, the line protocol spoken with
// one module, and the walk of each operation over the table.
#include "adt/tallis.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <string>
#include <utility>
#include <vector>

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
// How long a failed exchange waits for a last line from the module (ms).
static const int DRAIN_WAIT = 100;
// How long a failed exchange waits for a module that broke it off to end,
// so as to say how it ended (ms).
static const int END_WAIT = 500;
// Data lines a search takes from one module unless told otherwise: more
// than any store of ours lists, few enough that a module streaming for
// ever cannot hold a search for ever.
static const int DEFAULT_SEARCH_LIMIT = 100000;
// The longest one module's search may take unless told otherwise (ms).
static const int DEFAULT_SEARCH_TIME = 60000;
// Seconds after which failures are forgotten and a given-up module is tried
// again unless told otherwise.
static const int DEFAULT_RETRY_AFTER = 60;

static int is_dead(const char *reply)
{
    return reply && strncmp(reply, "-DEAD", 5) == 0;
}

static int is_success(const char *reply)
{
    return reply && reply[0] == '+';
}

// 1 when at least `seconds` (above 0) have passed since `since` on the
// monotonic clock.
static int seconds_since(const struct timespec *since, int seconds)
{
    if (seconds <= 0) return 0;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (now.tv_sec - since->tv_sec) * 1000LL + (now.tv_nsec - since->tv_nsec) / 1000000;
    return ms >= seconds * 1000LL;
}

// "Module%d (%s)" with m's number and the name of its program (the first
// word of its command line, without the directory), into bf.
static char *module_name(const Module *m, char *bf, int bfsz)
{
    const char *binary = m->Binary ? m->Binary : "";
    size_t len = strcspn(binary, " \t\r\n");
    const char *program = binary;
    for (size_t i = 0; i < len; i++)
        if (binary[i] == '/') program = binary + i + 1;
    lprintf(bf, bfsz, "Module%d (%.*s)", m->Priority, static_cast<int>(binary + len - program),
            program);
    return bf;
}

// The "-DEAD" text of a module given up earlier (gone: its record).
static void given_up_text(const Module *gone, char *bf, int bfsz)
{
    char name[WIRE_BUF];
    lprintf(bf, bfsz, "-DEAD %s was given up after repeated failures",
            module_name(gone, name, sizeof name));
}

// Replaces what m keeps of a lookup that could not answer (text may be null).
static void keep_unanswered(Module *m, const char *text)
{
    free(m->Unanswered);
    m->Unanswered = s_strdup(text);
}

// A fresh process record for m, started with its command line in its
// working directory; 1 when the child was created. A program that could not
// be run is told to the administrator once per start: every exchange with
// it will fail for that reason.
static int start_module(Module *m)
{
    m->Process = spawn_init(m->Uid, m->Gid);
    spawn_copy_env(m->Process, environ);
    if (!spawn_start_in(m->Process, m->Binary, m->Workdir)) return 0;
    const char *why = spawn_exec_error(m->Process);
    char name[WIRE_BUF];
    if (why) amsg("%s %s", module_name(m, name, sizeof name), why);
    return 1;
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
    x->SearchLimit = DEFAULT_SEARCH_LIMIT;
    x->SearchTime = DEFAULT_SEARCH_TIME;
    x->RetryAfter = DEFAULT_RETRY_AFTER;
    return x;
}

void tallis_search_limit(Tallis *t, int lines)
{
    if (t) t->SearchLimit = lines > 0 ? lines : DEFAULT_SEARCH_LIMIT;
}

void tallis_search_timeout(Tallis *t, int ms)
{
    if (t) t->SearchTime = ms > 0 ? ms : DEFAULT_SEARCH_TIME;
}

void tallis_retry_after(Tallis *t, int seconds)
{
    if (!t) return;
    t->RetryAfter = seconds > 0 ? seconds : 0;
    for (int i = 0; i < t->ModuleCount; i++) {
        t->Modules[i].RetryAfter = t->RetryAfter;
        if (t->Modules[i].GivenUp) t->Modules[i].GivenUp->RetryAfter = t->RetryAfter;
    }
}

void tallis_workdir(Tallis *t, const char *dir)
{
    if (!t) return;
    free(t->Workdir);
    t->Workdir = s_strdup(dir);
}

void tallis_observe(Tallis *t, TallisObserver cb)
{
    if (!t) return;
    t->Observer = cb;
    for (int i = 0; i < t->ModuleCount; i++) {
        t->Modules[i].Observer = cb;
        if (t->Modules[i].GivenUp) t->Modules[i].GivenUp->Observer = cb;
    }
}

int tallis_given_up(Tallis *t)
{
    int n = 0;
    for (int i = 0; t && i < t->ModuleCount; i++)
        if (t->Modules[i].GivenUp) n++;
    return n;
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

// Frees what an empty slot remembers of a module given up there.
static void forget_given_up(Module *m)
{
    if (!m->GivenUp) return;
    free(m->GivenUp->Binary);
    free(m->GivenUp->Workdir);
    free(m->GivenUp->Unanswered);
    free(m->GivenUp);
    m->GivenUp = nullptr;
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
    forget_given_up(&x->Modules[last]);
    if (slot < last)
        memmove(&x->Modules[slot + 1], &x->Modules[slot], (last - slot) * sizeof(Module));
    Module *m = &x->Modules[slot];
    m->Process = nullptr;
    m->Priority = NO_MODULE;
    m->Binary = nullptr;
    m->Data = nullptr;
    m->Dead = 0;
    m->Workdir = nullptr;
    m->GivenUp = nullptr;
    m->Unanswered = nullptr;
}

int tallis_add(Tallis *x, const char *binary, int priority, int timeout, void *data, char *errmsg,
               int bfsz)
{
    if (!x) {
        if (errmsg) lprintf(errmsg, bfsz, "module (%s), no module table", binary);
        return 0;
    }
    if (!binary) {
        emsg("Module%d has no binary", priority);
        if (errmsg) lprintf(errmsg, bfsz, "Module%d has no binary", priority);
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
    forget_given_up(m);
    keep_unanswered(m, nullptr);
    m->RetryAfter = x->RetryAfter;
    m->Observer = x->Observer;
    m->Uid = x->uid;
    m->Gid = x->gid;
    m->Priority = priority;
    m->Workdir = s_strdup(x->Workdir);
    m->Binary = s_strdup(binary);
    if (!start_module(m)) {
        if (errmsg) {
            char error[WIRE_BUF];
            spawn_error(error, sizeof error);
            lprintf(errmsg, bfsz, "module (%s), %s", binary, error);
        }
        module_clear(m);
        return 0;
    }
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
    for (int i = 0; i < (*x)->ModuleCount; i++) {
        module_clear(&(*x)->Modules[i]);
        forget_given_up(&(*x)->Modules[i]);
    }
    free((*x)->Workdir);
    free((*x)->Modules);
    free(*x);
    *x = nullptr;
}

void module_dead(Module *m)
{
    if (!m) return;
    // Failures far apart are separate outages, not one module failing.
    if (m->Dead > 0 && seconds_since(&m->LastFailure, m->RetryAfter)) {
        imsg("Module%d: no failure for %d s, its failure count starts again", m->Priority,
             m->RetryAfter);
        m->Dead = 0;
    }
    clock_gettime(CLOCK_MONOTONIC, &m->LastFailure);
    if (m->Dead >= MAX_RESTARTS) {
        emsg("Module%d reported -DEAD %d times, not using it anymore", m->Priority, m->Dead);
        if (m->Observer) m->Observer(m->Priority, TALLIS_GIVEN_UP, 0, 0);
        Module *gone = static_cast<Module *>(calloc(1, sizeof(Module)));
        if (gone) {
            *gone = *m;
            gone->Process = nullptr;
            gone->Binary = s_strdup(m->Binary);
            gone->Workdir = s_strdup(m->Workdir);
            gone->GivenUp = nullptr;
            gone->Unanswered = nullptr;
        }
        module_clear(m);
        forget_given_up(m);
        m->GivenUp = gone;
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
    if (m->Observer) m->Observer(m->Priority, TALLIS_RESTART, 0, 0);
    spawn_free(&m->Process, 0);
    return start_module(m);
}

void module_clear(Module *m)
{
    if (!m) return;
    spawn_free(&m->Process, 0);
    m->Priority = NO_MODULE;
    free(m->Binary);
    m->Binary = nullptr;
    free(m->Workdir);
    m->Workdir = nullptr;
    keep_unanswered(m, nullptr);
    m->Data = nullptr;
    m->Dead = 0;
}

// A given-up module in slot m whose RetryAfter has passed since it was
// given up is started afresh there, its failure count at 0. 1 when the
// slot is occupied now.
static int revive(Module *m)
{
    Module *gone = m->GivenUp;
    if (m->Process || !gone || !seconds_since(&gone->LastFailure, gone->RetryAfter)) return 0;
    keep_unanswered(m, nullptr);
    *m = *gone;
    free(gone);
    m->Dead = 0;
    emsg("Module%d started again after being given up", m->Priority);
    start_module(m);
    return m->Process != nullptr;
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

// The reason of an exchange that ran out of time begins so.
const char NO_ANSWER[] = "did not answer within";

// How an exchange with one module ended.
enum Asked {
    NOT_SENT = -1, // the request would not fit a request line; nothing was sent
    FAILED = 0,    // the module could not be talked to; it has been counted dead
    DONE = 1,      // a reply was read, whatever it says
};

// What became of an exchange with m that the channel broke off (errno
// tells how; writing: the request could not be sent), in words: how m
// ended when it has, else what it did.
void what_happened(Module *m, bool writing, char *bf, int bfsz)
{
    int error = errno;
    // A module that broke off the exchange by its end is given a moment to
    // finish ending; one that merely took too long is not waited for.
    int wait = error == ETIMEDOUT || error == EMSGSIZE ? 0 : END_WAIT;
    if (spawn_ended(m->Process, bf, bfsz, wait)) return;
    if (error == ETIMEDOUT)
        lprintf(bf, bfsz, "%s %d ms", NO_ANSWER, m->Timeout);
    else if (error == EMSGSIZE)
        lprintf(bf, bfsz, "answered with a line longer than %d characters", WIRE_TEXT);
    else if (error == EPIPE)
        scpy(bf, writing ? "closed its standard input" : "closed its standard output", bfsz);
    else
        lprintf(bf, bfsz, "could not be talked to: %s", strerror(error));
}

// The failure of an exchange: logs it, takes a last look at what the
// module said, leaves the failure text "-ERR Module%d (%s) REASON" in
// *result and counts the module dead, which gives it a new channel so
// nothing of this exchange is read later. why: the reason when the channel
// did not break (the module's program could not be run), else writing
// tells a request that could not be sent from a reply that did not come.
int failed(Module *m, char **result, const char *why = nullptr, bool writing = false)
{
    char how[WIRE_BUF], name[WIRE_BUF], last[WIRE_BUF];
    if (why)
        scpy(how, why, sizeof how);
    else
        what_happened(m, writing, how, sizeof how);
    module_name(m, name, sizeof name);
    emsg("%s %s", name, how);
    if (!why && spawn_gets(m->Process, last, sizeof last, nullptr, DRAIN_WAIT) >= 0)
        emsg("%s wrote after that: %s", name, last);
    free(*result);
    *result = tallis_make_result("-ERR %s %s", name, how);
    module_dead(m);
    return FAILED;
}

// Formats a request and sends it to m, after dropping whatever m wrote
// unasked. A request longer than a request line is not sent: cut to fit,
// it would ask about another user or store less than was given, so it is
// refused with a failure text in *result instead, and the module, which
// was asked nothing, is not counted dead. who: the user name as sent
// (lookup and check), else null.
int send_request(Module *m, const char *who, char **result, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int send_request(Module *m, const char *who, char **result, const char *format, ...)
{
    const char *why = spawn_exec_error(m->Process);
    if (why) return failed(m, result, why);
    discard_stale(m);
    // One byte more than a request line holds is enough to tell a request
    // that is too long: the formatter stops there.
    char line[WIRE_TEXT + 2];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n >= 0 && n <= WIRE_TEXT)
        return spawn_printf(m->Process, "%s", line) ? DONE : failed(m, result, nullptr, true);
    // The line may hold a password: only its length is logged.
    emsg("Module%d: request of more than %d characters not sent", m->Priority, WIRE_TEXT);
    *result = who ? tallis_make_result("-ERR %s module (%s), Request too long", who, m->Binary)
                  : tallis_make_result("-ERR module (%s), Request too long", m->Binary);
    return NOT_SENT;
}

// Reads the one reply line to a request into *result.
int read_reply(Module *m, char **result)
{
    char bf[WIRE_BUF];
    if (spawn_gets(m->Process, bf, sizeof bf, nullptr, m->Timeout) >= 0) *result = s_strdup(bf);
    if (!*result) return failed(m, result);
    dmsg("Module%d[%s]", m->Priority, *result);
    return DONE;
}

// The reply to a request that send_request has handled (sent: its result).
int reply_to(int sent, Module *m, char **result)
{
    return sent == DONE ? read_reply(m, result) : sent;
}

// One exchange with a module, told to its observer when it ends: its
// module's number is taken at the start, as a failure may empty the slot.
class Observed
{
  public:
    Observed(const Module *m, TallisEvent event)
        : cb_(m->Observer), number_(m->Priority), event_(event)
    {
        if (cb_) clock_gettime(CLOCK_MONOTONIC, &start_);
    }
    // Tells the observer how the exchange (asked, *result) ended; asked.
    int done(int asked, char *const *result) const
    {
        if (!cb_) return asked;
        struct timespec end;
        clock_gettime(CLOCK_MONOTONIC, &end);
        long micros =
            (end.tv_sec - start_.tv_sec) * 1000000L + (end.tv_nsec - start_.tv_nsec) / 1000;
        const char *r = *result ? *result : "";
        int outcome = TALLIS_ERR;
        if (asked == DONE)
            outcome = is_dead(r) ? TALLIS_DEAD : is_success(r) ? TALLIS_OK : TALLIS_ERR;
        else if (asked == FAILED)
            outcome = strstr(r, NO_ANSWER) ? TALLIS_TIMEOUT : TALLIS_DEAD;
        cb_(number_, event_, outcome, micros);
        return asked;
    }

  private:
    TallisObserver cb_;
    int number_;
    TallisEvent event_;
    struct timespec start_ = {0, 0};
};

int lookup_exchange(Module *m, const char *username, char **result)
{
    Observed o(m, TALLIS_LOOKUP);
    return o.done(reply_to(send_request(m, username, result, "lookup %s", username), m, result),
                  result);
}

int check_exchange(Module *m, const char *username, const char *password, const char *ip,
                   char **result)
{
    Observed o(m, TALLIS_CHECK);
    int sent =
        send_request(m, username, result, "check %s %s %s", username, password, ip ? ip : "");
    return o.done(reply_to(sent, m, result), result);
}

int set_exchange(Module *m, const char *username, const char *password, const char *rest,
                 char **result)
{
    Observed o(m, TALLIS_SET);
    int sent = send_request(m, nullptr, result, "set %s %s%s%s", username, password,
                            rest ? " " : "", rest ? rest : "");
    return o.done(reply_to(sent, m, result), result);
}

int del_exchange(Module *m, const char *username, char **result)
{
    Observed o(m, TALLIS_DEL);
    return o.done(reply_to(send_request(m, nullptr, result, "del %s", username), m, result),
                  result);
}

// A search that has taken `taken` data lines from m and is offered more,
// past its limit of lines or of time (`why`): m is not read further but
// restarted, as what it still sends would answer later requests. cb and
// *result get a final line with the count.
int search_cut(Module *m, int taken, const char *why, TallisLineCB cb, char **result)
{
    emsg("Module%d: search stopped after %d lines%s, restarting it", m->Priority, taken, why);
    module_restart(m);
    *result = tallis_make_result("+OK %d lines taken, the rest not read", taken);
    if (cb && *result) cb(*result);
    return *result ? DONE : FAILED;
}

// The bounds of one module's search: lines, and ms from its start.
struct SearchBounds {
    int lines = DEFAULT_SEARCH_LIMIT;
    int ms = DEFAULT_SEARCH_TIME;
};

int search_lines(Module *m, const char *string, const char *rest, TallisLineCB cb,
                 SearchBounds bounds, char **result)
{
    struct timespec end = spawn_deadline(bounds.ms);
    int sent = send_request(m, nullptr, result, "search %s%s%s", string, rest ? " " : "",
                            rest ? rest : "");
    if (sent != DONE) return sent;
    char line[WIRE_BUF];
    for (int taken = 0;; taken++) {
        // Each line within the module's time-out, the whole within the search's.
        long long left = spawn_left(&end);
        int wait = left < m->Timeout ? static_cast<int>(left) : m->Timeout;
        errno = 0;
        bool got = wait > 0 && spawn_gets(m->Process, line, sizeof line, nullptr, wait) >= 0;
        if (!got && wait < m->Timeout && (wait <= 0 || errno == ETIMEDOUT))
            return search_cut(m, taken, " at the search time-out", cb, result);
        if (!got) {
            failed(m, result);
            return FAILED;
        }
        dmsg("Module%d[%s]", m->Priority, line);
        if (taken == bounds.lines && strncmp(line, "+DATA ", 6) == 0)
            return search_cut(m, taken, "", cb, result);
        // The line is lent to cb: a "-DEAD" line is not passed on, and
        // every other line that is not data ends the reply.
        if (!is_dead(line) && cb) cb(line);
        if (is_dead(line) || strncmp(line, "+DATA ", 6) != 0) {
            *result = s_strdup(line);
            return DONE;
        }
    }
}

int search_exchange(Module *m, const char *string, const char *rest, TallisLineCB cb,
                    SearchBounds bounds, char **result)
{
    Observed o(m, TALLIS_SEARCH);
    return o.done(search_lines(m, string, rest, cb, bounds, result), result);
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
    if (!result) return 0;
    if (!live(m, result)) {
        // Only a given-up module's record has a command line but no process.
        if (m && m->Binary) {
            char text[WIRE_BUF];
            given_up_text(m, text, sizeof text);
            keep_unanswered(m, text);
        }
        return 0;
    }
    int asked = lookup_exchange(m, username, result);
    keep_unanswered(m, asked != DONE || is_dead(*result) ? *result : nullptr);
    return asked == DONE;
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
    return live(m, result) && search_exchange(m, string, rest, cb, SearchBounds(), result) == DONE;
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
    const char *given2;    // check: the client address; set: the password
    char name[WIRE_BUF];   // a gatekeeper's copy of given, which it may rewrite
    char second[WIRE_BUF]; // a gatekeeper's copy of given2
    const char *password;  // check: the caller's password
    const char *rest;      // set: the extra information; search: the extra text
    TallisLineCB cb;       // search: where the lines go
    char **result;
    // lookup, check: the result's "-DEAD" text when no module accepts
    char *unanswered;
    // lookup, check: the modules that could not answer in this walk, with
    // their "-DEAD" texts
    std::vector<std::pair<const Module *, std::string>> down;
    // check: where a set on check for the user goes (null: nowhere; a
    // given-up module's record when it was given up), its number, and the
    // name it is set under; found before the source is asked.
    Module *target;
    int target_number;
    char *target_use;
    char target_name[WIRE_BUF];
};

// What tells the five operations apart: their gatekeeper, their exchange,
// and their rules.
struct Op {
    const char *word;         // the command, as in "-ERR %s 'lookup' not allowed"
    TallisCB Tallis::*gate;   // lookup, del, search: the gatekeeper
    TallisCB2 Tallis::*gate2; // check, set: the gatekeeper taking the second text
    int (*ask)(Walk *w, Module *m, const char *use);
    // A reply beginning with "+" ends the walk with this result (null: the
    // reply is not tested).
    int (*accepted)(Walk *w, Module *m);
    int Tallis::*once; // set, del: the switch that stops after the first answer
    // lookup, check: a module that could not answer makes the result "-DEAD"
    // unless another accepts, so that a broken store never reads as a refusal.
    bool temporary;
    // check: a module marked as the source of a move is skipped when its
    // target already knows the user.
    bool moves;
};

// The gatekeeper's name for module m (the name buffer when none is set),
// or null to skip it. Every gatekeeper starts from the caller's own texts.
char *gate(Walk *w, Module *m)
{
    scpy(w->name, w->given, sizeof w->name);
    if (w->op->gate2) {
        scpy(w->second, w->given2, sizeof w->second);
        TallisCB2 cb = w->x->*w->op->gate2;
        return cb ? cb(m, m->Data, w->name, w->second, WIRE_BUF) : w->name;
    }
    TallisCB cb = w->x->*w->op->gate;
    return cb ? cb(m, m->Data, w->name, WIRE_BUF) : w->name;
}

// Notes that module m (number: its number before it was counted dead)
// could not answer: text is its failure text or its "-DEAD" line. The first
// such module gives the result's reason.
void unanswered(Walk *w, const Module *m, int number, const char *text)
{
    if (!w->op->temporary || !text) return;
    char dead[WIRE_BUF];
    if (strncmp(text, "-ERR", 4) == 0)
        lprintf(dead, sizeof dead, "-DEAD%s", text + 4);
    else
        scpy(dead, text, sizeof dead);
    w->down.emplace_back(m, dead);
    emsg("Module%d could not answer %s %s: %s", number, w->op->word, w->given, dead);
    if (!w->unanswered) w->unanswered = s_strdup(dead);
}

// Why module m could not answer earlier in this walk, or null.
const char *down_why(Walk *w, const Module *m)
{
    for (const auto &d : w->down)
        if (d.first == m) return d.second.c_str();
    return nullptr;
}

// A reply of m that begins with "-DEAD": m is restarted or given up.
void answered_dead(Walk *w, Module *m, const char *reply)
{
    int number = m->Priority;
    amsg("Module%d answered %s", number, reply);
    module_dead(m);
    unanswered(w, m, number, reply);
}

// A module given up earlier, gone (its slot's record): for lookup and
// check, it could not answer if its gatekeeper would have let it.
void given_up(Walk *w, Module *gone)
{
    if (!w->op->temporary || !gate(w, gone)) return;
    char text[WIRE_BUF];
    given_up_text(gone, text, sizeof text);
    unanswered(w, gone, gone->Priority, text);
}

// Finds the module a set on check for the walk's user goes to: the first
// whose set gatekeeper takes them with the check's password, a given-up
// module (its record) included. A gatekeeper that could not decide
// because the module's own lookup could not answer makes that module the
// target too, noted as one that could not answer: whether the user moved
// there is then unknown.
void find_target(Walk *w)
{
    Tallis *x = w->x;
    w->target = nullptr;
    for (int i = 0; i < x->ModuleCount && !w->target; i++) {
        revive(&x->Modules[i]);
        Module *m = x->Modules[i].Process ? &x->Modules[i] : x->Modules[i].GivenUp;
        if (!m) continue;
        int number = m->Priority;
        scpy(w->target_name, w->given, sizeof w->target_name);
        keep_unanswered(m, nullptr);
        // The set gatekeeper only reads the password.
        char *pw = const_cast<char *>(w->password);
        w->target_use = x->SCB ? x->SCB(m, m->Data, w->target_name, pw, WIRE_BUF) : w->target_name;
        if (!w->target_use && !m->Unanswered) continue;
        w->target = m;
        w->target_number = number;
        char *why = m->Unanswered;
        m->Unanswered = nullptr;
        if (why && m->Process && is_dead(why))
            answered_dead(w, m, why);
        else if (why)
            unanswered(w, m, number, why);
        free(why);
    }
}

// The source m of a move is not asked while its target cannot answer
// (why: the target's "-DEAD" text): unless a later module accepts, the
// result says so.
void fail_closed(Walk *w, Module *m, const char *why)
{
    const char *reason = strncmp(why, "-DEAD", 5) == 0 ? why + 5 : why;
    reason += strspn(reason, " ");
    char text[WIRE_BUF];
    lprintf(text, sizeof text, "-DEAD %s cannot be checked while Module%d cannot answer: %s",
            w->given, w->target_number, reason);
    emsg("Not doing check in Module%d: %s", m->Priority, text + 6);
    free(w->unanswered);
    w->unanswered = s_strdup(text);
}

// Whether the source m of a move is to be skipped (1): when the target
// knows the user (an old password would pass, and its set on check would
// write it over the new one, or bring back a deleted user), and when the
// target cannot say whether it does (fail_closed).
int moved_away(Walk *w, Module *m)
{
    if (!m->SetOnCheck) return 0;
    find_target(w);
    Module *target = w->target;
    if (!target || target == m) return 0;
    const char *why = down_why(w, target);
    char text[WIRE_BUF];
    if (!why && !target->Process) {
        given_up_text(target, text, sizeof text);
        why = text;
    }
    if (!why) {
        char *reply = nullptr;
        int asked = lookup_exchange(target, w->target_use, &reply);
        if (asked == DONE && is_success(reply))
            dmsg("Not doing check in Module%d because Module%d, where its users move to, knows %s",
                 m->Priority, w->target_number, w->target_use);
        else if (asked == DONE && is_dead(reply))
            answered_dead(w, target, reply);
        else if (asked != DONE)
            unanswered(w, target, w->target_number, reply);
        int known = asked == DONE && is_success(reply);
        free(reply);
        if (known) return 1;
        why = down_why(w, target);
        if (!why) return 0;
    }
    fail_closed(w, m, why);
    return 1;
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
    return search_exchange(m, use, w->rest, w->cb, {w->x->SearchLimit, w->x->SearchTime},
                           w->result);
}

int found(Walk *, Module *)
{
    return 1;
}

// A check accepted by m (*w->result: its "+" reply). When m is marked as
// the source of a set on check, the user is set into the target with the
// check's password and the reply's fifth field. The check stands whatever
// becomes of that set: it is only logged.
int set_on_check(Walk *w, Module *accepting)
{
    if (!accepting->SetOnCheck) return 1;
    char copy[WIRE_BUF];
    scpy(copy, *w->result, sizeof copy);
    char *field[5];
    int np = ssplit(copy, " ", field, 5, 1);
    if (np < 4) emsg("np(%d) < 4 (%s)", np, *w->result);
    const char *extra = np == 5 ? field[4] : "";
    // The target was found just before the source was asked; a probe that
    // failed may have emptied its slot since.
    Module *target = w->target;
    if (!target || !target->Process) return 1;
    char *answer = nullptr;
    if (set_exchange(target, w->target_use, w->password, extra, &answer) != DONE)
        emsg("Failed to set on check (%s)", answer);
    free(answer);
    return 1;
}

const Op LOOKUP = {"lookup", &Tallis::LCB, nullptr, ask_lookup, found, nullptr, true, false};
const Op CHECK = {"check", nullptr, &Tallis::CCB, ask_check, set_on_check, nullptr, true, true};
const Op SET = {"set", nullptr, &Tallis::SCB, ask_set, nullptr, &Tallis::SetOnce, false, false};
const Op DEL = {"del", &Tallis::DCB, nullptr, ask_del, nullptr, &Tallis::DelOnce, false, false};
const Op SEARCH = {"search", &Tallis::SECB, nullptr, ask_search, nullptr, nullptr, false, false};

// The walk shared by the five operations: every slot in order, its
// gatekeeper, the exchange, and the operation's rules after it. *result is
// never null on return.
int walk(Walk *w)
{
    if (!w->result) return 0;
    *w->result = nullptr;
    Tallis *x = w->x;
    int accepted = 0;
    for (int i = 0; x && i < x->ModuleCount && !accepted; i++) {
        Module *m = &x->Modules[i];
        if (!m->Process && !revive(m)) {
            if (m->GivenUp) given_up(w, m->GivenUp);
            continue;
        }
        char *use = gate(w, m);
        if (!use || (w->op->moves && moved_away(w, m))) continue;
        free(*w->result);
        *w->result = nullptr;
        int number = m->Priority;
        int asked = w->op->ask(w, m, use);
        if (asked == FAILED) unanswered(w, m, number, *w->result);
        if (asked != DONE) continue;
        if (is_dead(*w->result))
            answered_dead(w, m, *w->result);
        else if (w->op->accepted && is_success(*w->result))
            accepted = w->op->accepted(w, m);
        if (w->op->once && x->*w->op->once) break;
    }
    if (!accepted && w->unanswered) {
        free(*w->result);
        *w->result = w->unanswered;
    } else {
        free(w->unanswered);
    }
    if (!*w->result)
        *w->result = tallis_make_result("-ERR %s '%s' not allowed", w->given, w->op->word);
    return accepted;
}

// A walk of op for the caller's name and second text.
Walk walk_of(Tallis *x, const Op *op, const char *given, const char *given2, char **result)
{
    Walk w = {};
    w.x = x;
    w.op = op;
    w.given = given;
    w.given2 = given2 ? given2 : "";
    w.result = result;
    return w;
}

} // namespace

int tallis_lookup(Tallis *x, const char *xusername, char **result)
{
    log_hide(nullptr);
    dmsg("Lookup[%s]", xusername);
    Walk w = walk_of(x, &LOOKUP, xusername, nullptr, result);
    return walk(&w);
}

int tallis_check(Tallis *x, const char *xusername, const char *password, const char *xip,
                 char **result)
{
    log_hide(password);
    dmsg("Check[%s|xxxx]", xusername);
    Walk w = walk_of(x, &CHECK, xusername, xip, result);
    w.password = password;
    return walk(&w);
}

int tallis_set(Tallis *x, const char *xusername, const char *xpassword, const char *rest,
               char **result)
{
    log_hide(xpassword);
    dmsg("Set[%s|xxxx|%s]", xusername, rest ? rest : "");
    Walk w = walk_of(x, &SET, xusername, xpassword, result);
    w.rest = rest;
    walk(&w);
    return 0;
}

int tallis_del(Tallis *x, const char *xusername, char **result)
{
    log_hide(nullptr);
    dmsg("Del[%s]", xusername);
    Walk w = walk_of(x, &DEL, xusername, nullptr, result);
    walk(&w);
    return 0;
}

int tallis_search(Tallis *x, const char *xstring, const char *rest, TallisLineCB cb, char **result)
{
    log_hide(nullptr);
    dmsg("Search[%s|%s]", xstring, rest ? rest : "");
    Walk w = walk_of(x, &SEARCH, xstring, nullptr, result);
    w.rest = rest;
    w.cb = cb;
    walk(&w);
    return 0;
}

} // namespace adt
