// Tallis: the module multiplexer. A table of authentication modules, each a
// child process spoken to over a line protocol, kept in ascending order of
// module number; the exchanges with one module; and the operations that walk
// the table (lookup, check, set, del, search).
//
// Modules are named "Module%d" with their number in every message. A module
// that answers "-DEAD" or cannot be talked to is restarted; its sixth
// failure gives it up (empties its slot). A failure count starts again
// after RetryAfter seconds without a failure, and a given-up module is
// started afresh when an operation reaches its slot RetryAfter seconds or
// more after it was given up (RetryAfter 0: given up for good), so that a
// Corvane that lives for months does not turn a short outage into a
// permanent one.
//
// Result texts are heap strings handed over through the address of the
// caller's pointer; the caller frees them with free(). A password never
// reaches the log or standard error: each operation over the table hides
// its password (check, set; none for the others) from every log line with
// log_hide, until the next operation, so the caller's own trace of the
// reply is covered too, and a module that echoes it leaves "xxxx".
#ifndef ADT_TALLIS_H
#define ADT_TALLIS_H

#include "adt/wire.h"

#include <ctime>

namespace adt
{

struct spawn_process;
struct tallis_module;
typedef struct tallis_module Module;

// Gatekeeper for lookup, del and search: given the module, its Data and the
// operation's WIRE_BUF-byte name buffer (search: the search string), it
// answers the name under which the module is asked (the buffer, or a position
// inside it; it may rewrite the buffer in place), or null to skip the module.
// The buffer holds the name exactly as the caller gave it at every call: what
// one module's gatekeeper did to it never reaches the next.
typedef char *(*TallisCB)(Module *m, void *data, char *username, int bfsz);
// Gatekeeper for check and set: as TallisCB, with the client address (check;
// the empty text when none was given) or the password (set) before bfsz.
// The second text is only read: during a set on check it is the caller's own
// password text.
typedef char *(*TallisCB2)(Module *m, void *data, char *username, char *second, int bfsz);
// Receives one line of a module's search reply, lent for the time of the
// call; its result is not looked at.
typedef int (*TallisLineCB)(char *line);

// What an observer is told of: one exchange with a module (its operation,
// its outcome and how long it took), or a module restarted or given up.
enum TallisEvent {
    TALLIS_LOOKUP,
    TALLIS_CHECK,
    TALLIS_SET,
    TALLIS_DEL,
    TALLIS_SEARCH,
    TALLIS_RESTART,
    TALLIS_GIVEN_UP
};
// How an exchange ended: a reply "+...", a reply "-ERR ..." (or a request
// too long to send), "-DEAD" or a failed exchange, no reply in time.
enum TallisOutcome { TALLIS_OK, TALLIS_ERR, TALLIS_DEAD, TALLIS_TIMEOUT };
// Told of every exchange of every module, the move guard's lookups and a
// set on check included (micros: the exchange's time), and of every
// restart and give-up (outcome and micros 0).
typedef void (*TallisObserver)(int module, int event, int outcome, long micros);

// One slot of the table. Empty when Process is null.
struct tallis_module {
    struct spawn_process *Process; // the module's child, owned; null: empty slot
    int Priority;                  // module number and sort key; 2147483647 when empty
    int Timeout;                   // ms to wait for each reply line; at least 100
    int Dead;                      // restarts after failures so far, 0 to 5
    struct timespec LastFailure;   // monotonic time of the last failure
    int RetryAfter;                // seconds: failures are forgotten, a given-up module retried
    int SetOnCheck;                // a check this module accepts starts a set on check
    int Uid;                       // user id the module was started under (-1: ours)
    int Gid;                       // group id the module was started under (-1: ours)
    char *Binary;                  // command line of the module, owned
    void *Data;                    // caller's per-module data, not owned
    char *Workdir;                 // working directory of the module's process, owned; null: ours
    // After the sixth failure, what the slot held (number, Data, Binary; no
    // process), so that a lookup or check can tell a given-up module that
    // would have been asked from no module at all. Owned; null otherwise.
    struct tallis_module *GivenUp;
    // Why the last tallis_module_lookup of this slot could not answer (its
    // failure text or "-DEAD" line), for a gatekeeper that could not decide
    // because of it. Owned; null when it answered.
    char *Unanswered;
    TallisObserver Observer; // copied from the table; null: none
};

// The module table.
struct tallis {
    int ModuleCount;         // slots in Modules, fixed at creation
    int SetOnce;             // a set stops after the first module that answered
    int DelOnce;             // a del stops after the first module that answered
    Module *Modules;         // the slots, owned
    TallisCB LCB;            // lookup gatekeeper; null: every module takes part
    TallisCB2 CCB;           // check gatekeeper (second text: the client address)
    TallisCB2 SCB;           // set gatekeeper (second text: the password), also for set on check
    TallisCB DCB;            // del gatekeeper
    TallisCB SECB;           // search gatekeeper (name buffer: the search string)
    int uid;                 // user id for new modules; -1 keeps our own
    int gid;                 // group id for new modules; -1 keeps our own
    int SearchLimit;         // most "+DATA " lines taken from one module in one search
    int SearchTime;          // most ms one module's search may take
    int RetryAfter;          // seconds; see above. Copied into each module
    char *Workdir;           // working directory of modules started from now on, owned; null: ours
    TallisObserver Observer; // told of each exchange, restart and give-up; null: none
};
typedef struct tallis Tallis;

// --- The table and its modules ---

// New table of `modules` empty slots, no callbacks, both once switches off,
// uid and gid -1, a search limit of 100000 lines and 60000 ms, a retry
// after 60 s. Free it with tallis_free.
Tallis *tallis_init(int modules);
// Most "+DATA " lines a search takes from one module (below 1: the default,
// 100000). A module that sends more is not read further but restarted, as
// it is out of step: its lines past the limit would answer later requests.
void tallis_search_limit(Tallis *t, int lines);
// Most ms one module's search may take (below 1: the default, 60000): a
// module still sending then is ended as one past the line limit is.
void tallis_search_timeout(Tallis *t, int ms);
// Seconds after which a module's failure count starts again and a
// given-up module is started afresh when next needed; 0 (or less): never,
// a sixth failure gives a module up for good. For every module, also
// those already added.
void tallis_retry_after(Tallis *t, int seconds);
// Modules started from now on (restarts included) run in the working
// directory dir (a copy is kept; null: ours), so that relative paths in
// their command lines and stores resolve against it.
void tallis_workdir(Tallis *t, const char *dir);
// Installs the observer (null: none) for every module, also those already added.
void tallis_observe(Tallis *t, TallisObserver cb);
// How many modules have been given up (at their sixth failure) so far.
int tallis_given_up(Tallis *t);
// Installs the five gatekeepers; any may be null.
void tallis_setup(Tallis *x, TallisCB lookup_cb, TallisCB2 check_cb, TallisCB2 set_cb,
                  TallisCB del_cb, TallisCB search_cb);
// Sets SetOnce: a set stops after the first module that answered.
void tallis_set_once(Tallis *x, int mode);
// Sets DelOnce: a del stops after the first module that answered.
void tallis_del_once(Tallis *x, int mode);
// Starts the module `binary` and places it before every module whose number
// is the same or greater; a time-out of 100 ms or less becomes 100. A full
// table gives up its last module for it. 1 when started; 0 with the reason
// in errmsg ("Module%d has no binary" for a null binary, else
// "module (%s), ...", cut to bfsz; errmsg may be null). A program that
// cannot be executed still starts (the other modules serve): the reason
// goes to standard error and the log (amsg) once per start, and every
// exchange with it fails with that reason.
int tallis_add(Tallis *x, const char *binary, int priority, int timeout, void *data, char *errmsg,
               int bfsz);
// Sends "quit" to every module; reads nothing and stops nothing. Always 1.
int tallis_quit(Tallis *x);
// Stops every module, frees the table and sets *x to null.
void tallis_free(Tallis **x);

// Counts a failure of m: restarts it after each of its first five failures
// (the count starting again when the last failure is RetryAfter seconds
// old) and empties its slot at the sixth (keeping its identity in GivenUp).
void module_dead(Module *m);
// Stops m's child and starts its command line again in a new process
// record. 1 when the new child was started.
int module_restart(Module *m);
// Stops m's child and empties the slot (Timeout, SetOnCheck, Uid and Gid stay).
void module_clear(Module *m);
// m's number, or 2147483647 for a null module or an empty slot.
int module_priority(Module *m);
// Marks m (mode non-zero) as the source of a set on check.
void module_set_on_check(Module *m, int mode);

// --- Exchanges with one module ---
// Each sends one request line and reads the reply within m's Timeout.
// *result is set to null on entry (free any earlier result first) and holds
// on return a new heap text: the reply line, or the failure text "-ERR
// Module%d (%s) REASON" with m's number and the name of its program, the
// same text as the error line logged for it. REASON: "did not answer within
// %d ms" (m's Timeout), "exited with status %d", "was killed by signal %d
// (%s)", "closed its standard input" (alive, the request could not be
// sent), "closed its standard output" (alive, no reply), "answered with a
// line longer than 997 characters", "cannot execute '%s': %s" or "cannot
// change to directory '%s': %s" (its program could not be run), or "could
// not be talked to: %s" with the system's error text. A line m writes in
// the moment after a failure is logged as "Module%d (%s) wrote after that:
// %s". 1 when a reply was read, whatever it says; 0 when the
// exchange failed (m has then been counted by module_dead) or when m or its
// process is null (*result stays null). Each reply line must be complete
// within m's Timeout from the moment we start waiting for it. Output of m
// that nobody asked for is discarded, and logged, before the request is
// sent. A request longer than WIRE_TEXT characters is not sent: 0, with
// "-ERR %s module (%s), Request too long" (the user name as sent and m's
// command line; set, del and search: "-ERR module (%s), Request too
// long"), and m is not counted dead.

// Sends "lookup %s". When m cannot answer (the exchange failed, it
// answered "-DEAD", or it was given up: m is then its GivenUp record), the
// reason is also kept in m's Unanswered until its next lookup.
int tallis_module_lookup(Module *m, const char *username, char **result);
// Sends "check %s %s %s"; a null ip sends an empty third field.
int tallis_module_check(Module *m, const char *username, const char *password, const char *ip,
                        char **result);
// Sends "set %s %s", followed by a blank and rest when rest is not null.
int tallis_module_set(Module *m, const char *username, const char *password, const char *rest,
                      char **result);
// Sends "del %s".
int tallis_module_del(Module *m, const char *username, char **result);
// Sends "search %s", followed by a blank and rest when rest is not null, and
// hands every "+DATA " line and the final line to cb (may be null) as they
// come; a "-DEAD" line is not handed on. *result is the final or "-DEAD" line.
// At most 100000 data lines are taken, within 60000 ms (tallis_search takes
// the table's limits): past them the module is restarted and both cb and
// *result get the final line "+OK %d lines taken, the rest not read".
int tallis_module_search(Module *m, const char *string, const char *rest, TallisLineCB cb,
                         char **result);
// New heap text of at most WIRE_BUF-1 characters formatted with the library's
// bounded formatter; the caller frees it.
char *tallis_make_result(const char *format, ...) __attribute__((format(printf, 1, 2)));

// --- Operations over the table ---
// Each walks the occupied slots in order, asks the operation's gatekeeper,
// and leaves in *result a heap text that is never null on return: a reply,
// a failure text, or "-ERR %s '<op>' not allowed" when no module was asked.
// User names and search strings longer than WIRE_BUF-1 characters are cut.
// A module that answers "-DEAD" is reported with amsg("Module%d answered %s").
//
// lookup and check tell a module that could not answer from a refusal: when
// no module accepted and an eligible module could not answer (its exchange
// failed, it answered "-DEAD", or it was given up earlier), the result begins
// with "-DEAD": the failure text of the first such module with its "-ERR"
// made "-DEAD", its own "-DEAD" line, or "-DEAD Module%d (%s) was given up
// after repeated failures". A "-ERR" is then always a real
// refusal. Each such module is logged at error level with its reason.

// Stops at the first reply beginning with "+" and returns 1; else 0 with the
// last module's reply (or the "-DEAD" result above).
int tallis_lookup(Tallis *x, const char *xusername, char **result);
// As lookup, with password and client address (xip may be null). When the
// accepting module is marked SetOnCheck, the user is also set, with this
// password and the fifth field of the reply, into the first module whose
// set gatekeeper accepts (the target); that set's outcome is only logged.
// A marked module (the source of a move) is not asked when its target, a
// module other than itself, knows the user: one lookup of the target, made
// just before the source would be asked. Nor is it asked while the target
// cannot say whether it knows the user (the lookup failed or was answered
// "-DEAD", the target failed earlier in this check or was given up, or its
// set gatekeeper could not decide because its own lookup could not
// answer): unless a later module accepts, the result is then "-DEAD %s
// cannot be checked while Module%d cannot answer: %s" with the user name,
// the target's number and its reason. An old password must not pass while
// the new store is down; users who have not moved yet wait for it too.
// 1 when a module accepted the check, whatever became of the set on check.
int tallis_check(Tallis *x, const char *xusername, const char *password, const char *xip,
                 char **result);
// Asks every eligible module (only the first that answers when SetOnce is
// on); rest is the extra information, may be null. Always 0.
int tallis_set(Tallis *x, const char *xusername, const char *xpassword, const char *rest,
               char **result);
// Asks every eligible module (only the first that answers when DelOnce is
// on). Always 0.
int tallis_del(Tallis *x, const char *xusername, char **result);
// Asks every eligible module, streaming their lines to cb; *result is the
// last module's final line. Always 0.
int tallis_search(Tallis *x, const char *xstring, const char *rest, TallisLineCB cb, char **result);

} // namespace adt

#endif
