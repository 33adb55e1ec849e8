// Commands: the client protocol. A caller sends one command per line
// ("lookup", "check", "set", "del", "search", "quit", "version", "help",
// and for writers "stats" and "flush") and gets one reply line beginning
// with "+OK", "-ERR" or "-DEAD"; a search and stats first stream their
// "+DATA " lines. Lookups and checks pass the throttle and the cache
// (protect.h) on their way to the modules. The same commands can be given
// once on the command line (-lookup, -check, ...).
//
// This room holds the command table, the handlers that turn a command into
// an operation of the module table, the reply writers, the command handler
// (process_command) and the loop that hands a client's lines to it. What a
// client may do comes with its session (request.h); nothing here knows
// who holds the connection.
#ifndef COMMANDS_H
#define COMMANDS_H

#include <cstdio>

#include "adt/tallis.h"
#include "client.h"
#include "request.h"

// The version shown by the "version" command and the -version option.
inline constexpr const char corvane_version[] = "10n";

// Run modes. Mode holds MODE_TERMINAL while commands come from standard
// input, or the mode of the command given on the command line; "quit" on
// standard input sets MODE_QUIT. MODE_VERSION, MODE_HELP, MODE_STATS and MODE_FLUSH are only ever a
// command's mode.
enum {
    MODE_TERMINAL = 0,
    MODE_LOOKUP = 1,
    MODE_CHECK = 2,
    MODE_SET = 3,
    MODE_DEL = 4,
    MODE_SEARCH = 5,
    MODE_QUIT = 6,
    MODE_VERSION = 7,
    MODE_HELP = 8,
    MODE_STATS = 9,
    MODE_FLUSH = 10
};
extern int Mode;

// Running totals of the search in progress, zeroed by every search command
// and grown only by search_result.
extern int search_found;
extern int search_outof;

// The module table every command goes to (not owned; null: none yet).
void commands_use(adt::Tallis *auths);

// The command handler (a CommandHandler): serves one request line. The
// line is traced at info level as "INPUT[%s]", with the password of check
// and set as "xxxx", only the first two words of a line whose command is
// unknown, and every control character and backslash as \xNN; the reply
// as "OUTPUT[%s]", escaped the same way. A user name, password, address or
// search string holding a blank, a line break or another control
// character, or an address holding a comma, is refused before any module
// is asked. A client that is not a writer gets "-ERR %s not allowed for
// this client" for set, del, search, stats and flush. A check made to
// wait by the throttle is SERVE_LATER, served again at its not_before
// without its line traced again. quit answers "+OK bye" and ends the
// session (SERVED_LAST); outside a daemon's connection it also sends quit
// to every module and sets Mode to MODE_QUIT.
Served process_command(Request *r);

// The one command of the command line, for session s: argv[0] is its
// command option, the words follow. Its reply goes to standard output.
void command_once(const Session *s, int argc, char **argv);

// The command loop of one client: each line of c goes to serve with
// session s until the session ends or c's input does. A line too long
// gets "-ERR Line too long"; the end of a daemon connection's input is
// answered "+OK bye". A request to be served later is served again at its
// moment. Output is written at its end; the reason it ended.
ClientEnd command_loop(Client *c, const Session *s, CommandHandler serve);

// Write one "+OK ", "-ERR " or "-DEAD " line of at most 999 characters of
// text, log it (info, error, error) and flush it: to the client whose
// request is being served, else to standard output.
void print_ok(const char *format, ...) __attribute__((format(printf, 1, 2)));
void print_err(const char *format, ...) __attribute__((format(printf, 1, 2)));
void print_dead(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Search line callback: writes a "+DATA " line through to the caller;
// from any other (final) line adds its first number to search_found and
// its second to search_outof, saturating at INT_MAX. Always 1.
int search_result(char *result);

// --- The command line ---

// 1 when arg is a command option (-lookup, -check, -set, -del, -search,
// -quit, -stats, -flush; any letter case), else 0.
int command_option(const char *arg);
// Checks the command of the command line (argv[0] its command option, the
// words after it): 0 after setting Mode to its mode; 1 after writing why
// it is not a command ("lookup requires a parameter", a word holding a
// blank, ...).
int command_line_mode(int argc, char **argv);
// Writes the command options and their words to out, one a line, for the
// usage.
void command_options_usage(FILE *out);

#endif
