// Corvane's front end: the settings table, the per-module record, the
// client protocol on standard input and output, and the gatekeeping
// callbacks that decide which module takes part in an operation and under
// which name.
//
// A caller sends one command per line ("lookup", "check", "set", "del",
// "search", "quit", "version") and gets one reply line beginning with "+OK",
// "-ERR" or "-DEAD"; a search first streams its "+DATA " lines. The same
// commands can be given once on the command line (-lookup, -check, ...).
#ifndef CORVANE_H
#define CORVANE_H

#include "adt/log.h"
#include "adt/sini.h"
#include "adt/tallis.h"

// The version shown by the "version" command and the -version option.
inline constexpr const char corvane_version[] = "10n";

// --- Settings ---

// Row identifiers of Settings; each equals the row's position.
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
    I_LOG_TO = 30       // where the log goes: file, syslog or stderr, global
};

// The program's settings table: 31 rows and a terminating row whose Name
// is null. Every row holds one verbatim value.
extern const adt::SIniTable Settings[];

// Ties a module to its configuration domain. The multiplexer keeps a
// pointer to it as the module's Data and hands it back to the callbacks.
struct corvane_data {
    adt::SIni ini;      // where the module's settings are looked up (not owned)
    const char *domain; // the module's domain name (owned by the store)
};
typedef struct corvane_data CorvaneData;

// --- Client protocol ---

// Run modes. Mode holds MODE_TERMINAL while commands come from standard
// input, or the mode of the command given on the command line; "quit" sets
// MODE_QUIT. MODE_VERSION and MODE_HELP are only ever a command's mode.
enum {
    MODE_TERMINAL = 0,
    MODE_LOOKUP = 1,
    MODE_CHECK = 2,
    MODE_SET = 3,
    MODE_DEL = 4,
    MODE_SEARCH = 5,
    MODE_QUIT = 6,
    MODE_VERSION = 7,
    MODE_HELP = 8
};
extern int Mode;

// Running totals of the search in progress, zeroed by every search command
// and grown only by search_result.
extern int search_found;
extern int search_outof;

// Handles one command: the line in input (trimmed and split in place) when
// Mode is MODE_TERMINAL, otherwise the command option in argv and the words
// after it. Writes the reply line (and a search's data lines). A line from
// input is traced at info level as "INPUT[%s]", with the password of check
// and set as "xxxx", only the first two words of a line whose command is
// unknown, and every control character and backslash as \xNN; the reply
// as "OUTPUT[%s]", escaped the same way. A user name,
// password, address or search string holding a blank, a line break or
// another control character, or an address holding a comma, is refused
// before any module is asked.
void process_command(int argc, char **argv, char *input);
// Write one "+OK ", "-ERR " or "-DEAD " line of at most 999 characters of
// text to standard output, flush it and log it (info, error, error).
void print_ok(const char *format, ...) __attribute__((format(printf, 1, 2)));
void print_err(const char *format, ...) __attribute__((format(printf, 1, 2)));
void print_dead(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Search line callback: writes a "+DATA " line through to the caller;
// from any other (final) line adds its first number to search_found and
// its second to search_outof, saturating at INT_MAX. Always 1.
int search_result(char *result);

// --- Start-up and exit ---

// Stage 0 (before anything else): the options before the first command
// option (-path, -debug, -t, -version, -h); stage 1 (after the modules are
// started): the first command option, which sets Mode. Every argument after
// the command option is a word of that command, whatever it looks like.
// 0 to go on; otherwise the exit status, the reason already written.
int process_args(int argc, char **argv, int stage);
// The whole program: start-up, then the command loop (or, with -t, the
// configuration test; with -h, the usage); the exit status.
// main.cpp calls it, so that tests and fuzz targets link the front end
// like any library.
int corvane_main(int argc, char **argv);
// The configuration test of -t on the file at path, its problems written to
// the log (with file and line) instead of standard error and nothing
// printed: how many problems it found, 0 for a sound file. The running
// configuration is left as it was. The daemon checks a reload with it.
int config_problems(const char *path);
// Frees, in this order, the module records, the module table (stopping
// every module), the configuration and the log. Registered with atexit.
void cleanup(void);

// --- Gatekeeping ---
// Each callback answers whether module m takes part in the operation: null
// when it does not (the reason is logged at debug level), otherwise the
// name to send it (see strip_username). username is the name exactly as the
// client gave it, and is never changed. A "!" exclusion of the mask rejects
// the name when it matches, ignoring ASCII letter case, either that name or
// the rewritten one; the other entries match the name as given, exactly.
// data is the module's CorvaneData.

char *cblookup(adt::Module *m, void *data, char *username, int bfsz);
// Also marks a module whose do_check is "move_from" as the source of a set
// on check, every time it is asked, whatever else it decides.
char *cbcheck(adt::Module *m, void *data, char *username, char *ip, int bfsz);
// do_set "existing" (the default) asks the module whether it knows the user
// first; "move_to" takes only sets with a password, "move_from" only sets
// whose password is "(NULL)".
char *cbset(adt::Module *m, void *data, char *username, char *password, int bfsz);
char *cbdel(adt::Module *m, void *data, char *username, int bfsz);
char *cbsearch(adt::Module *m, void *data, char *string, int bfsz);

// 1 when the mask list admits name, else 0. Entries are separated by commas
// and blanks (at most 100, the last keeping the rest); each is a wildcard
// pattern matched case-sensitively against the whole name, and the first
// match admits. An entry "!pattern" rejects at once a name it matches
// ignoring ASCII letter case (a store may not tell "Root" from "root");
// "!!pattern" is the literal pattern "!pattern". A null or empty mask
// admits nothing.
int match_match(const char *mask, const char *name);
// As match_match for the name given, except that a "!" entry also rejects
// the name when it matches rewritten (may be null): the name as a module
// would be asked after its prefix and suffix are removed.
int match_names(const char *mask, const char *given, const char *rewritten);
// The name with the module's strip_prefix (any letter case) and
// strip_suffix (exact) removed: a pointer into username past the prefix,
// or, when a suffix goes, a copy in a buffer of the front end's that the
// next call overwrites. username itself is never changed. Null for a null
// username.
char *strip_username(CorvaneData *data, char *username);

#endif
