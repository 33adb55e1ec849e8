// Configuration: the settings table, the per-module record, and the judge
// that loads a configuration file and says what is wrong with it.
//
// One judge serves every reader of the file: `corvane -t` (problems on
// standard error, each module asked to check itself, then the settings in
// effect), the start-up (problems
// logged, the start goes on), the daemon's first start (a module that
// cannot run stops it) and its reload (any problem refuses it). Each
// problem is one line "FILE:LINE: text" in the administrator's words.
#ifndef CONFIG_H
#define CONFIG_H

#include "adt/sini.h"
#include "adt/wire.h"

#include <map>
#include <string>
#include <vector>

// Row identifiers of the settings table (config.cpp); each equals the
// row's position.
enum {
    I_LOGLEVEL = 0,      // log level name, global
    I_BINARY = 1,        // the module's command line
    I_LOOKUP = 2,        // user-name mask for lookups (falls back to match)
    I_CHECK = 3,         // user-name mask for checks (falls back to match)
    I_SET = 4,           // user-name mask for sets (falls back to match)
    I_DEL = 5,           // user-name mask for deletions (falls back to match)
    I_SEARCH = 6,        // search-string mask for searches (falls back to match)
    I_MATCH = 7,         // the mask of every operation without its own
    I_DO_LOOKUP = 8,     // lookup switch
    I_DO_CHECK = 9,      // check switch; "move_from" marks a set-on-check source
    I_DO_SET = 10,       // false, "existing", "move_to", "move_from" or always
    I_DO_DEL = 11,       // del switch
    I_DO_SEARCH = 12,    // search switch
    I_IP_MATCH = 13,     // client address patterns for checks
    I_STRIP_PREFIX = 14, // removed from the front of the name, any letter case
    I_STRIP_SUFFIX = 15, // removed from the end of the name, exact letter case
    I_TIMEOUT = 16,      // reply time-out in milliseconds
    I_SET_ONCE = 17,     // a set stops after the first module that answered
    I_DEL_ONCE = 18,     // a del stops after the first module that answered
    I_SIG_HANDLER = 19,  // accepted and ignored
    I_LOG_ROTATIONS = 20,
    I_LOG_SIZE = 21,
    I_SEARCH_LIMIT = 22, // most data lines taken from one module in one search, global
    // The daemon's (-listen), global:
    I_WORKERS = 23,        // worker processes; default: the number of CPUs
    I_CLIENT_TIMEOUT = 24, // seconds a client may be idle or leave its replies unread
    I_SOCKET_MODE = 25,    // octal mode of the socket the daemon creates
    I_SOCKET_GROUP = 26,   // group of that socket (name or number)
    I_WRITERS = 27,        // users and "@group"s besides root and ours who may set, del, search
    I_SEARCH_TIMEOUT = 28, // most ms one module's search may take, global
    I_RETRY_AFTER = 29, // seconds until failures are forgotten, a given-up module retried, global
    I_LOG_TO = 30,      // where the log goes: file, syslog or stderr, global
    I_CLIENTS = 31,     // the daemon's: peers that may connect (users, uids, "@group"s), global
    I_USER = 32,        // run as root: the user modules (and the daemon) run as, global
    I_GROUP = 33,       // ... and its group (default: the user's own), global
    I_STATE_DIR = 34,   // where modules run (default: the configuration directory), global
    I_LOG_DIR = 35,     // where the log file is (default: the configuration directory), global
    I_MAX_CLIENTS = 36, // the daemon's: most connections held at once, global
    // Failure throttling and the result cache (throttle.h, cache.h), global:
    I_FAIL_WINDOW = 37,        // seconds over which failed checks count
    I_FAIL_LIMIT = 38,         // failures per client address before its checks wait; 0: off
    I_USER_FAIL_LIMIT = 39,    // failures per user name before its checks wait; 0: off
    I_FAIL_DELAY = 40,         // ms of the first wait, doubled per failure past the limit
    I_FAIL_EXEMPT = 41,        // client networks never throttled
    I_FAIL_ENTRIES = 42,       // most addresses and names counted at once
    I_CACHE_TTL = 43,          // seconds a "+..." answer is kept; 0: off
    I_CACHE_NEGATIVE_TTL = 44, // seconds a "-ERR" answer of a check is kept; 0: off
    I_CACHE_ENTRIES = 45       // most answers kept at once
};

// Ties a module to its configuration domain. The multiplexer keeps a
// pointer to it as the module's Data and hands it back to the callbacks.
struct corvane_data {
    adt::SIni ini;      // where the module's settings are looked up (not owned)
    const char *domain; // the module's domain name (owned by the store)
};
typedef struct corvane_data CorvaneData;

// How the judge works (a set of bits): where it writes each finding, and
// whether it asks the modules to check themselves (corvane -t only: never
// at a start or a reload).
enum { CONFIG_TO_LOG = 1, CONFIG_TO_STDERR = 2, CONFIG_ASK_MODULES = 4 };

// What the judge found.
struct ConfigVerdict {
    int problems; // how many, each already written (warnings are not counted)
    // The first reason a daemon cannot start on the file: "No modules
    // defined", "Module%d has no binary", "Module%d cannot execute '%s':
    // %s"; empty when there is none.
    char unstartable[adt::WIRE_BUF];
    // With CONFIG_ASK_MODULES, what each module (by domain name) said of
    // itself: "warning: TEXT" for a warning, else a problem.
    std::map<std::string, std::vector<std::string>> said;
};

// Loads the configuration file at path and judges it: every line (unknown
// settings with a suggestion, a global setting in a module section, a
// value that does not parse or names a user or group that does not exist,
// by the kind of value its row of the settings table says), module numbers
// given twice, that it defines a module, that each module's program can be
// executed as a module runs it (as the user of `user` when run as root, in
// its state directory; dir is the configuration directory), and that that
// user may use the state directory and the log. Each problem is one line
// "FILE:LINE: text", written where `how` says; with CONFIG_ASK_MODULES
// each module that can run is asked to check itself (selfcheck.h) within
// its timeout, as that user, its findings written at the line of its
// binary: "Module%d (%s): warning: TEXT" (a warning), "Module%d (%s):
// TEXT", "Module%d (%s): its self-check exited with status 3" (problems).
// The loaded store, which the caller frees with sini_free; null when the
// file cannot be loaded (errno says why; nothing is written).
adt::SIni config_judge(const char *path, const char *dir, int how, ConfigVerdict *verdict);
// As config_judge, reading the file's text from source (a snapshot of it)
// while every message names path.
adt::SIni config_judge_from(const char *source, const char *path, const char *dir, int how,
                            ConfigVerdict *verdict);
// Loads the configuration at source without judging it or saying anything
// (a worker's copy of what its supervisor judged); null as config_judge.
adt::SIni config_load(const char *source);

// The settings in effect in ini, on standard output in the file's own
// syntax: the global ones, then each module's in the order the modules are
// asked; a value not set in its own section as a comment saying where it
// comes from; under a module's binary, what it said of itself in verdict
// (may be null), each line as "#   self-check: TEXT".
void config_print(adt::SIni ini, const ConfigVerdict *verdict);

// A global setting of ini: its value, else the row's default (null: none).
const char *config_global(adt::SIni ini, int id);
// The name of setting id ("user").
const char *config_name(int id);
// The directory a global directory setting (I_STATE_DIR, I_LOG_DIR) names
// (a relative one, which the judge refuses, taken from the configuration
// directory dir) into out (PATH_BUF bytes); dir when it is not set.
// Returns out.
char *config_directory(adt::SIni ini, int id, const char *dir, char *out);
// A numeric setting as it is taken for domain (null: the global one): the
// leading decimal integer of its value (else of the row's default),
// raised to the row's least; *raised (may be null) says whether it was.
int config_number(adt::SIni ini, int id, const char *domain, bool *raised = nullptr);

#endif
