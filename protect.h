// Protect: what the command handler does around the modules for the whole
// daemon: failure throttling (throttle.h) and the result cache (cache.h)
// around each lookup and check, and the statistics (stats.h) of every
// module exchange, all in the region its workers share (shm.h). In the
// standard-input mode the region is the process's own: its counts and
// answers end with it.
//
// The order of one check: its keys are worked out; the throttle may refuse
// it ("-DEAD throttled, try again later") or make it wait (the handler
// serves it again later, the wait counted and logged at info as "Throttled
// check of USER from ADDRESS: N failures, waiting MS ms"); then the cache
// may answer it; else the modules are asked and their answer is kept.
// After a "-ERR" (one from the cache included) each key counts a failure;
// after a "+" the user's count is cleared. A lookup only meets the cache.
//
// Any set or del exchange with a module (a set on check, the move, among
// them) empties the cache before the command that made it answers.
#ifndef PROTECT_H
#define PROTECT_H

#include <functional>

#include "adt/sini.h"
#include "cache.h"
#include "request.h"
#include "shm.h"
#include "throttle.h"

// The operations protected, as the command handler's modes number them.
enum { PROTECT_LOOKUP = 1, PROTECT_CHECK = 2 };

// The settings of ini (config.h) in set. daemon 0 (the standard-input
// mode): throttling and the cache stay off, and their tables empty, unless
// the file sets them. A bad fail_exempt is logged; the networks before it
// are kept.
void protect_settings(adt::SIni ini, int daemon, SharedSettings *set);

// Makes the region for set's tables and the statistics (shm_create).
Shm *protect_region(const SharedSettings *set, char *why, int size);

// The region (not owned; null: none, nothing is throttled, cached or
// counted) and the settings this process works with.
void protect_use(Shm *s, const SharedSettings *set);

// The observer of the module table (tallis_observe): counts each exchange,
// restart and give-up, and notes a set or del for protect_end.
void protect_observe(int module, int event, int outcome, long micros);

// One lookup or check on its way through.
struct ProtectReq {
    int op; // PROTECT_LOOKUP, PROTECT_CHECK
    ThrottleKeys keys;
    CacheKey key;
    bool asked; // the modules are to be asked: protect_after keeps their answer
};

// What protect_before decided.
enum ProtectStep {
    PROTECT_ASK,    // ask the modules, then call protect_after
    PROTECT_ANSWER, // answered: the reply is in reply
    PROTECT_WAIT    // serve it again after *wait_ms, with step 1
};

// Before the modules are asked for the request of session s (op, name,
// for a check its password and address; either may be null). step: 0 for
// a new request, 1 for one that has waited its turn (it is not made to
// wait again). reply: size bytes.
ProtectStep protect_before(ProtectReq *q, int op, const Session *s, const char *name,
                           const char *password, const char *addr, int step, char *reply, int size,
                           int *wait_ms);
// After the modules answered reply (PROTECT_ASK), or the cache did
// (PROTECT_ANSWER): counts the check's failure or success and keeps the
// modules' answer.
void protect_after(ProtectReq *q, const char *reply);

// After every command: empties the cache when a module was asked to set or
// delete a user since the last call.
void protect_end(void);
// Empties the cache (the flush command). 0 when it could not be emptied.
int protect_flush(void);
// The statistics, line by line (stats_write).
void protect_stats(const std::function<void(const char *line)> &line);

#endif
