// Corvane, the authentication multiplexer: start-up, the command loop and
// client protocol, and the per-module gatekeeping callbacks.
#include "corvane.h"

#include "adt/lib.h"
#include "adt/wire.h"
#include "client.h"
#include "daemon.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace adt;

// --- Settings ---

const SIniTable Settings[] = {
    {I_LOGLEVEL, "loglevel", SM_NONE, "error", -1, "VALUE"},
    {I_BINARY, "binary", SM_NONE, nullptr, -1, "VALUE"},
    {I_LOOKUP, "lookup", SM_NONE, nullptr, I_MATCH, "VALUE"},
    {I_CHECK, "check", SM_NONE, nullptr, I_MATCH, "VALUE"},
    {I_SET, "set", SM_NONE, nullptr, I_MATCH, "VALUE"},
    {I_DEL, "del", SM_NONE, nullptr, I_MATCH, "VALUE"},
    {I_SEARCH, "search", SM_NONE, nullptr, I_MATCH, "VALUE"},
    {I_MATCH, "match", SM_NONE, "*", -1, "VALUE"},
    {I_DO_LOOKUP, "do_lookup", SM_NONE, "true", -1, "VALUE"},
    {I_DO_CHECK, "do_check", SM_NONE, "true", -1, "VALUE"},
    {I_DO_SET, "do_set", SM_NONE, "existing", -1, "VALUE"},
    {I_DO_DEL, "do_del", SM_NONE, "false", -1, "VALUE"},
    {I_DO_SEARCH, "do_search", SM_NONE, "true", -1, "VALUE"},
    {I_IP_MATCH, "ip_match", SM_NONE, "*", -1, "VALUE"},
    {I_STRIP_PREFIX, "strip_prefix", SM_NONE, nullptr, -1, "VALUE"},
    {I_STRIP_SUFFIX, "strip_suffix", SM_NONE, nullptr, -1, "VALUE"},
    {I_TIMEOUT, "timeout", SM_NONE, "20000", -1, "VALUE"},
    {I_SET_ONCE, "set_once", SM_NONE, "false", -1, "VALUE"},
    {I_DEL_ONCE, "del_once", SM_NONE, "false", -1, "VALUE"},
    {I_SIG_HANDLER, "sig_handler", SM_NONE, "false", -1, "VALUE"},
    {I_LOG_ROTATIONS, "log_rotations", SM_NONE, "4", -1, "VALUE"},
    {I_LOG_SIZE, "log_size", SM_NONE, "1048576", -1, "VALUE"},
    {I_SEARCH_LIMIT, "search_limit", SM_NONE, "100000", -1, "VALUE"},
    {I_WORKERS, "workers", SM_NONE, nullptr, -1, "VALUE"},
    {I_CLIENT_TIMEOUT, "client_timeout", SM_NONE, "60", -1, "VALUE"},
    {I_SOCKET_MODE, "socket_mode", SM_NONE, "0600", -1, "VALUE"},
    {I_SOCKET_GROUP, "socket_group", SM_NONE, nullptr, -1, "VALUE"},
    {I_WRITERS, "writers", SM_NONE, nullptr, -1, "VALUE"},
    {I_SEARCH_TIMEOUT, "search_timeout", SM_NONE, "60000", -1, "VALUE"},
    {I_RETRY_AFTER, "retry_after", SM_NONE, "60", -1, "VALUE"},
    {I_LOG_TO, "log_to", SM_NONE, "file", -1, "VALUE"},
    {-1, nullptr, SM_NONE, nullptr, -1, nullptr},
};

// --- Process-wide state ---

int Mode = MODE_TERMINAL;
int search_found = 0;
int search_outof = 0;

// A program name, directory or file path: the size the library's path
// routines are given.
static const int PATH_SIZE = 1000;
// Words of a command: the 100th keeps the rest of the line.
static const int MAX_WORDS = 100;
// Entries of a mask list: the 100th keeps the rest of the list.
static const int MASK_ENTRIES = 100;

static int test_only = 0;              // -t: test the configuration, start nothing
static int finished = -1;              // the exit status when an option did all there was to do
static char prog_name[PATH_SIZE];      // invocation name without directory and extension
static char dir[PATH_SIZE];            // -path, else the current working directory
static LogLevel level = LogError;      // LogDebug after -debug
static Log *pLog = nullptr;            // the program's log
static SIni ini = nullptr;             // the loaded configuration
static Tallis *auths = nullptr;        // the module table
static CorvaneData *records = nullptr; // one record per module domain

// The leading decimal integer of text (0 for none or null), clamped to the
// range of an int instead of overflowing.
static int to_int(const char *text)
{
    if (!text) return 0;
    long v = strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

// a + b without overflow: a sum beyond INT_MAX stays at INT_MAX.
static int add_saturating(int a, int b)
{
    int sum;
    return __builtin_add_overflow(a, b, &sum) ? (b > 0 ? INT_MAX : INT_MIN) : sum;
}

// --- Reply writers ---

// Formats into bf (WIRE_BUF bytes), cut to fit, without trailing
// line ends, so that the reply is exactly one line.
static void format_reply(char *bf, const char *format, va_list ap)
{
    if (adt::vsnprintf(bf, WIRE_BUF, format, ap) == -1) bf[WIRE_BUF - 1] = 0;
    size_t len = strlen(bf);
    while (len > 0 && (bf[len - 1] == '\r' || bf[len - 1] == '\n')) bf[--len] = 0;
}

// Output goes to the current client, collected until Corvane would wait
// for more input (client.h).
static void write_line(const char *lead, const char *text)
{
    client_line(client_current(), lead, text);
}

enum reply_kind { REPLY_OK, REPLY_ERR, REPLY_DEAD };

// Writes one reply line of the kind given, logs it and flushes it.
static void print_reply(reply_kind kind, const char *format, va_list ap)
{
    char bf[WIRE_BUF];
    format_reply(bf, format, ap);
    switch (kind) {
    case REPLY_OK:
        write_line("+OK ", bf);
        imsg("OUTPUT[+OK %s]", bf);
        break;
    case REPLY_ERR:
        write_line("-ERR ", bf);
        emsg("OUTPUT[-ERR %s]", bf);
        break;
    case REPLY_DEAD:
        write_line("-DEAD ", bf);
        emsg("-DEAD %s\n", bf);
        break;
    }
    client_reply_done(client_current());
}

void print_ok(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    print_reply(REPLY_OK, format, ap);
    va_end(ap);
}

void print_err(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    print_reply(REPLY_ERR, format, ap);
    va_end(ap);
}

void print_dead(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    print_reply(REPLY_DEAD, format, ap);
    va_end(ap);
}

// --- Search summary ---

int search_result(char *result)
{
    if (result && strncmp(result, "+DATA ", 6) == 0) {
        write_line("", result);
        client_reply_done(client_current());
        return 1;
    }
    char bf[WIRE_BUF];
    char *w[10];
    scpy(bf, result, WIRE_BUF);
    int n = ssplit(bf, " ", w, 10, 1);
    int numbers = 0;
    for (int i = 0; i < n; i++) {
        if (w[i][0] < '0' || w[i][0] > '9') continue;
        numbers++;
        if (numbers == 1) {
            search_found = add_saturating(search_found, to_int(w[i]));
        } else if (numbers == 2) {
            search_outof = add_saturating(search_outof, to_int(w[i]));
        } else {
            dmsg("Search +OK line has more than 2 numbers in it?!? [%s]", result);
            break;
        }
    }
    if (search_outof < search_found) search_outof = search_found;
    return 1;
}

// --- Commands ---

// A command's handler: given its words (p[0] the command word) and their
// number, at least the row's words, answers the reply line as a new heap
// text, or null when it has written its reply itself.
typedef char *(*command_fn)(char **p, int n);
// An option's handler before the command: given the arguments and the
// option's index, 0 to go on, otherwise the exit status (the reason
// already written).
typedef int (*option_fn)(int argc, char **argv, int at);

// One row per command and per option: everything that adding one takes.
struct command_row {
    const char *word;     // command word on standard input, any letter case; null: none
    const char *option;   // on the command line, any letter case; null: none
    int mode;             // what Mode becomes for the command option; MODE_TERMINAL for others
    int words;            // command: words it needs, its own included; option: arguments it takes
    int single;           // words after the command word that reach a module as one field each
    const char *synopsis; // its words or arguments, for help and usage
    const char *usage;    // command: reply to too few words on standard input
    const char *missing;  // error written when too few arguments follow the option
    command_fn run;       // a command's handler (null for an option)
    option_fn pre;        // an option's handler, run before the command (null for a command)
    const char *about;    // an option's line in the usage; null: not listed there
};

static char *run_lookup(char **p, int)
{
    char *result = nullptr;
    tallis_lookup(auths, p[1], &result);
    return result;
}

// A check without password is answered as a failed check of the user.
static char *run_check(char **p, int n)
{
    char *result = nullptr;
    if (n == 2) {
        char bf[WIRE_BUF];
        lprintf(bf, WIRE_BUF - 1, "-ERR %s not found or password incorrect", p[1]);
        return s_strdup(bf);
    }
    tallis_check(auths, p[1], p[2], n > 3 ? p[3] : nullptr, &result);
    return result;
}

// Words w[0..n-1] joined by single blanks into a new heap text, or null
// when n is 0; the caller frees it.
static char *join_words(char **w, int n)
{
    if (n <= 0) return nullptr;
    size_t size = 0;
    for (int i = 0; i < n; i++) size += strlen(w[i]) + 1;
    char *joined = (char *)calloc(size, 1);
    char *end = joined;
    for (int i = 0; i < n; i++) {
        if (i > 0) *end++ = ' ';
        size_t len = strlen(w[i]);
        memcpy(end, w[i], len);
        end += len;
    }
    return joined;
}

static char *run_set(char **p, int n)
{
    char *result = nullptr;
    char *info = join_words(p + 3, n - 3);
    tallis_set(auths, p[1], p[2], info, &result);
    free(info);
    return result;
}

static char *run_del(char **p, int)
{
    char *result = nullptr;
    tallis_del(auths, p[1], &result);
    return result;
}

// The reply counts the modules' final lines, whatever they answered.
static char *run_search(char **p, int n)
{
    char *result = nullptr;
    char *info = join_words(p + 2, n - 2);
    search_found = 0;
    search_outof = 0;
    tallis_search(auths, p[1], info, search_result, &result);
    free(result);
    free(info);
    return tallis_make_result("+OK Search Complete %d items found out of %d", search_found,
                              search_outof);
}

static char *run_quit(char **, int)
{
    tallis_quit(auths);
    print_ok("bye");
    Mode = MODE_QUIT;
    return nullptr;
}

static char *run_version(char **, int)
{
    print_ok("Corvane %s", corvane_version);
    return nullptr;
}

static char *run_help(char **, int);
static int option_version(int, char **, int);
static int option_debug(int, char **, int);
static int option_path(int, char **, int);
static int option_test(int, char **, int);
static int option_daemon(int, char **, int);
static int option_help(int, char **, int);

static const command_row Commands[] = {
    {"lookup", "-lookup", MODE_LOOKUP, 2, 1, "USER", "Lookup requires 1 parameter 'username'",
     "lookup requires a parameter", run_lookup, nullptr, nullptr},
    {"check", "-check", MODE_CHECK, 2, 3, "USER PASSWORD [ADDRESS]",
     "Check requires at least 2 parameters 'username' 'password' ['ipaddress']",
     "check requires a parameter", run_check, nullptr, nullptr},
    {"set", "-set", MODE_SET, 3, 2, "USER PASSWORD [LABEL=VALUE ...]",
     "Set requires at least 2 parameters 'username' 'password' ['label=value']",
     "set requires at least 2 parameters", run_set, nullptr, nullptr},
    {"del", "-del", MODE_DEL, 2, 1, "USER", "Del requires 1 parameter 'username'",
     "del requires a parameter", run_del, nullptr, nullptr},
    {"search", "-search", MODE_SEARCH, 2, 1, "STRING [MORE ...]",
     "Search requires at least 1 parameter 'search string'", "search requires a parameter",
     run_search, nullptr, nullptr},
    {"quit", "-quit", MODE_QUIT, 1, 0, "", nullptr, nullptr, run_quit, nullptr, nullptr},
    {"exit", nullptr, MODE_QUIT, 1, 0, "", nullptr, nullptr, run_quit, nullptr, nullptr},
    {"bye", nullptr, MODE_QUIT, 1, 0, "", nullptr, nullptr, run_quit, nullptr, nullptr},
    {"version", nullptr, MODE_VERSION, 1, 0, "", nullptr, nullptr, run_version, nullptr, nullptr},
    {"help", nullptr, MODE_HELP, 1, 0, "", nullptr, nullptr, run_help, nullptr, nullptr},
    {nullptr, "-path", MODE_TERMINAL, 1, 0, "DIR", nullptr, "path requires a parameter", nullptr,
     option_path, "the directory of the configuration and the log (default: the current one)"},
    {nullptr, "-debug", MODE_TERMINAL, 0, 0, "", nullptr, nullptr, nullptr, option_debug,
     "log everything, whatever loglevel says"},
    {nullptr, "-t", MODE_TERMINAL, 0, 0, "", nullptr, nullptr, nullptr, option_test,
     "test the configuration and print the effective settings; start no module"},
    {nullptr, "-version", MODE_TERMINAL, 0, 0, "", nullptr, nullptr, nullptr, option_version,
     "print the version (exit status 1)"},
    {nullptr, "-listen", MODE_TERMINAL, 1, 0, "PATH", nullptr, "listen requires a parameter",
     nullptr, option_daemon, "serve clients on a Unix socket at PATH (the daemon)"},
    {nullptr, "-connect", MODE_TERMINAL, 1, 0, "PATH", nullptr, "connect requires a parameter",
     nullptr, option_daemon, "ask the daemon at PATH instead of starting modules"},
    {nullptr, "-worker", MODE_TERMINAL, 1, 0, "PID", nullptr, "worker requires a parameter",
     nullptr, option_daemon, nullptr},
    {nullptr, "-h", MODE_TERMINAL, 0, 0, "", nullptr, nullptr, nullptr, option_help,
     "print this text (also -help, --help)"},
    {nullptr, "-help", MODE_TERMINAL, 0, 0, "", nullptr, nullptr, nullptr, option_help, nullptr},
    {nullptr, "--help", MODE_TERMINAL, 0, 0, "", nullptr, nullptr, nullptr, option_help, nullptr},
};

static const command_row *find_word(const char *word)
{
    for (const command_row &c : Commands)
        if (c.word && s_stricmp(word, c.word) == 0) return &c;
    return nullptr;
}

static const command_row *find_option(const char *arg)
{
    for (const command_row &c : Commands)
        if (c.option && s_stricmp(arg, c.option) == 0) return &c;
    return nullptr;
}

// "+OK" and the command words with their synopses, from the table.
static char *run_help(char **, int)
{
    char bf[WIRE_BUF] = "+OK Commands:";
    for (const command_row &c : Commands) {
        if (!c.word) continue;
        size_t len = strlen(bf);
        lprintf(bf + len, (int)(sizeof bf - len), " %s%s%s%s", c.word, *c.synopsis ? " " : "",
                c.synopsis, c.run != run_help ? "," : "");
    }
    return s_strdup(bf);
}

// Index in argv of the first command option, or argc when there is none.
// The arguments of an option before it are skipped, so "-path -check"
// names a directory. Every argument after the command option is a word of
// that command, whatever it looks like: a user name "-quit" must not end
// the run, nor a password "-path" choose the configuration.
static int first_command(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const command_row *c = find_option(argv[i]);
        if (c && c->run) return i;
        if (c) i += c->words;
    }
    return argc;
}

// The words of the command given on the command line: its option without
// the dash, then every argument after it, at most MAX_WORDS in p. Returns
// their number and sets *row, or 0 when there is no command option.
static int command_line_words(int argc, char **argv, char **p, const command_row **row)
{
    int i = first_command(argc, argv);
    *row = i < argc ? find_option(argv[i]) : nullptr;
    if (!*row) return 0;
    int n = 0;
    p[n++] = argv[i] + 1;
    for (int j = i + 1; j < argc && n < MAX_WORDS; j++) p[n++] = argv[j];
    return n;
}

// 1 when text holds a control character (below 0x20, or DEL).
static int has_control(const char *text)
{
    for (const unsigned char *c = (const unsigned char *)text; *c; c++)
        if (*c < 0x20 || *c == 0x7f) return 1;
    return 0;
}

// Each word of a command must reach the modules as part of one request
// line, and a single field as one field. So a word holding a line end is
// refused before any module is asked; so is a single field holding a blank
// or any other control character (a module that splits at white space would
// take "root<TAB>x", which the masks judged whole, as the user root), and a
// client address holding a comma (ip_match would take it as a list and
// admit it when any one of the addresses matches). Writes the refusal into
// bf (bfsz bytes) and answers 1, or 0 when the words are safe.
static int unsafe_words(const command_row *c, char **p, int n, char *bf, int bfsz)
{
    for (int i = 1; i < n && c->single > 0; i++) {
        const char *what = nullptr;
        if (strpbrk(p[i], "\r\n"))
            what = "line breaks";
        else if (i <= c->single && strchr(p[i], ' '))
            what = "blanks";
        else if (i <= c->single && has_control(p[i]))
            what = "control characters";
        if (what) {
            lprintf(bf, bfsz, "%s parameters must not contain %s", c->word, what);
            return 1;
        }
        if (c->mode == MODE_CHECK && i == 3 && strchr(p[i], ',')) {
            lprintf(bf, bfsz, "%s address must not contain commas", c->word);
            return 1;
        }
    }
    return 0;
}

// Cuts the line end off a line read from standard input. The first byte is
// left alone, so an empty line still yields one (empty) word.
static void trim_line(char *input)
{
    char *end = input + strlen(input);
    while (end > input && (*end == '\r' || *end == '\n' || *end == 0)) *end-- = 0;
}

// Logs a line of input at info level as "INPUT[%s]". The log must not
// hold a password: the third word of check and set is written "xxxx", and
// of a line whose command is unknown (a misspelt "chek alice pw") only the
// first two words. The rest is written as typed, control characters and
// backslashes escaped, so that a hostile line cannot forge log lines or
// drive the terminal of whoever reads them.
static void trace_input(const char *input)
{
    char words[WIRE_BUF], shown[WIRE_BUF];
    char *p[4];
    scpy(words, input, sizeof words);
    scpy(shown, input, sizeof shown);
    // Words as the command will be split; p points into words, at the
    // offsets the same words have in shown.
    int n = ssplit(words, " \r\n", p, 4, 1);
    const command_row *c = n > 0 ? find_word(p[0]) : nullptr;
    if (!c || !c->run) {
        if (n > 2) shown[p[1] - words + strlen(p[1])] = 0;
    } else if ((c->mode == MODE_CHECK || c->mode == MODE_SET) && n > 2) {
        size_t at = p[2] - words;
        char rest[WIRE_BUF];
        scpy(rest, input + at + strlen(p[2]), sizeof rest);
        lprintf(shown + at, (int)(sizeof shown - at), "xxxx%s", rest);
    }
    imsg("INPUT[%s]", shown);
}

void process_command(int argc, char **argv, char *input)
{
    char *p[MAX_WORDS];
    int n = 0;
    const command_row *c = nullptr;
    if (Mode == MODE_TERMINAL) {
        trim_line(input);
        trace_input(input);
        n = ssplit(input, " \r\n", p, MAX_WORDS, 1);
        if (n > 0) c = find_word(p[0]);
        // A daemon's client may be limited, and its quit ends only the connection.
        if (n > 0 && daemon_gate(p[0], c ? c->mode : MODE_TERMINAL)) return;
    } else {
        n = command_line_words(argc, argv, p, &c);
    }

    char *result;
    char bf[WIRE_BUF];
    if (!c || !c->run)
        result = s_strdup("-ERR Unknown command");
    else if (unsafe_words(c, p, n, bf, sizeof bf))
        result = tallis_make_result("-ERR %s", bf);
    else if (n < c->words)
        result = tallis_make_result("-ERR %s", c->usage);
    else
        result = c->run(p, n);
    if (!result) return;
    imsg("OUTPUT[%s]", result);
    log_hide(nullptr); // the operation hid its password up to its reply's trace
    write_line("", result);
    client_reply_done(client_current());
    free(result);
}

// --- Gatekeeping ---

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

// The shape shared by lookup, del and search: the operation's switch, then
// its mask, then the name with prefix and suffix removed.
static char *gate(Module *m, CorvaneData *d, char *name, const char *op, int on, int mask_id)
{
    int module = module_priority(m);
    if (isfalse(setting(d, on))) {
        dmsg("Not doing %s in Module%d because do_%s is FALSE", op, module, op);
        return nullptr;
    }
    const char *mask = setting(d, mask_id);
    char *use = strip_username(d, name);
    if (!match_names(mask, name, use)) {
        dmsg("Not doing %s in Module%d because %s does not match [%s]", op, module, name, mask);
        return nullptr;
    }
    return use;
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
    if (isfalse(on)) {
        dmsg("Not doing check in Module%d because do_check is FALSE", module);
        return nullptr;
    }
    const char *mask = setting(d, I_CHECK);
    char *use = strip_username(d, username);
    if (!match_names(mask, username, use)) {
        dmsg("Not doing check in Module%d because %s does not match [%s]", module, username, mask);
        return nullptr;
    }
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
    return !password || strcmp(password, "(NULL)") == 0;
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
    const char *mask = setting(d, I_SET);
    char *use = strip_username(d, username);
    if (!match_names(mask, username, use)) {
        dmsg("Not doing set in Module%d because %s does not match [%s]", module, username, mask);
        return nullptr;
    }
    const char *on = setting(d, I_DO_SET);
    if (isfalse(on)) {
        dmsg("Not doing set in Module%d because do_set is FALSE", module);
        return nullptr;
    }
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

// --- Command-line options ---

static int option_version(int, char **, int)
{
    print_ok("Corvane %s", corvane_version);
    return 1;
}

static int option_debug(int, char **, int)
{
    level = LogDebug;
    return 0;
}

static int option_path(int, char **argv, int at)
{
    scpy(dir, argv[at + 1], PATH_SIZE);
    return 0;
}

// -listen, -connect and the internal -worker: the daemon's own (daemon.h).
static int option_daemon(int argc, char **argv, int at)
{
    int status = 0;
    daemon_option(argc, argv, &at, &status);
    return status;
}

static int option_test(int, char **, int)
{
    test_only = 1;
    return 0;
}

// The usage, from the table, to standard output.
static int option_help(int argc, char **argv, int)
{
    exename(prog_name, argc > 0 ? argv[0] : nullptr, PATH_SIZE);
    printf("usage: %s [OPTION ...] [COMMAND-OPTION WORD ...]\n", prog_name);
    for (const command_row &c : Commands) {
        char name[40];
        lprintf(name, sizeof name, "%s%s%s", c.option, *c.synopsis ? " " : "", c.synopsis);
        if (c.about) printf("  %-10s %s\n", name, c.about);
    }
    printf("The first command option ends the options: every argument after it is a word\n"
           "of that command, whatever it looks like.\n");
    for (const command_row &c : Commands)
        if (c.option && c.run) printf("  %s%s%s\n", c.option, *c.synopsis ? " " : "", c.synopsis);
    printf("Without one, commands are read from standard input, one per line (\"help\"\n"
           "lists them). The configuration is %s.ini and the log %s.log, both in the\n"
           "-path directory, else in the current directory.\n",
           prog_name, prog_name);
    fflush(stdout);
    finished = 0;
    return 0;
}

// Stage 0: the options before the command option, in order; other
// arguments there are ignored.
static int process_options(int argc, char **argv)
{
    int end = first_command(argc, argv);
    for (int i = 1; i < end; i++) {
        const command_row *c = find_option(argv[i]);
        if (!c) continue;
        if (argc - 1 - i < c->words) {
            print_err("%s", c->missing);
            return 1;
        }
        int status = c->pre(argc, argv, i);
        if (status || finished >= 0) return status;
        i += c->words;
    }
    return 0;
}

// Stage 1: the first command option sets Mode; the rest are its words.
static int process_commands(int argc, char **argv)
{
    char *p[MAX_WORDS];
    char bf[WIRE_BUF];
    const command_row *c;
    int n = command_line_words(argc, argv, p, &c);
    if (!c) return 0;
    if (n < c->words) {
        print_err("%s", c->missing);
        return 1;
    }
    if (unsafe_words(c, p, n, bf, sizeof bf)) {
        print_err("%s", bf);
        return 1;
    }
    Mode = c->mode;
    return 0;
}

int process_args(int argc, char **argv, int stage)
{
    return stage == 0 ? process_options(argc, argv) : process_commands(argc, argv);
}

// --- Configuration test ---

// The lowest value a numeric setting may take: a lower one is raised to it.
static int number_floor(int id)
{
    switch (id) {
    case I_LOG_ROTATIONS:
        return 0;
    case I_LOG_SIZE:
        return 1024;
    case I_SEARCH_LIMIT:
        return 1;
    case I_SEARCH_TIMEOUT:
        return 100;
    case I_RETRY_AFTER:
        return 0;
    default:
        return INT_MIN;
    }
}

// The value a numeric setting is taken as.
static int number_setting(int id, const char *text)
{
    int v = to_int(text);
    return v < number_floor(id) ? number_floor(id) : v;
}

// Settings read only from the global section (the others are read per module).
static int global_only(int id)
{
    return id == I_LOGLEVEL || id == I_SET_ONCE || id == I_DEL_ONCE || id == I_LOG_ROTATIONS ||
           id == I_LOG_SIZE || id == I_SEARCH_LIMIT || id == I_SEARCH_TIMEOUT ||
           id == I_RETRY_AFTER || id == I_LOG_TO;
}

// What the check of a configuration has found so far.
struct config_check {
    const char *file;                        // its path, for the messages
    int to_stderr;                           // 1: -t writes them; 0: start-up logs them
    int problems;                            // how many
    std::map<int, int> numbers;              // module number: line of its first module line
    std::map<std::string, int> module_lines; // domain name: line of its first module line
    std::map<std::string, int> binary_lines; // domain name ("" global): line of its binary
};

static void problem(config_check *c, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
static void problem(config_check *c, int line, const char *format, ...)
{
    char bf[WIRE_BUF];
    va_list ap;
    va_start(ap, format);
    adt::vsnprintf(bf, sizeof bf, format, ap);
    va_end(ap);
    bf[sizeof bf - 1] = 0;
    c->problems++;
    if (c->to_stderr)
        fprintf(stderr, "%s:%d: %s\n", c->file, line, bf);
    else
        emsg("%s:%d: %s", c->file, line, bf);
}

// Edits to turn a into b (letter case ignored), or a large number for long words.
static int distance(const char *a, const char *b)
{
    size_t la = strlen(a), lb = strlen(b);
    if (la > 40 || lb > 40) return 99;
    int row[41];
    for (size_t j = 0; j <= lb; j++) row[j] = (int)j;
    for (size_t i = 1; i <= la; i++) {
        int diagonal = row[0];
        row[0] = (int)i;
        for (size_t j = 1; j <= lb; j++) {
            int up = row[j];
            int same = charmap[(unsigned char)a[i - 1]] == charmap[(unsigned char)b[j - 1]];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[lb];
}

static void unknown_setting(config_check *c, int line, const char *label)
{
    const char *best = nullptr;
    int best_distance = 3; // farther than two edits is no typing error
    for (int i = 0; Settings[i].Name; i++) {
        int d = distance(label, Settings[i].Name);
        if (d < best_distance) best_distance = d, best = Settings[i].Name;
    }
    if (best)
        problem(c, line, "unknown setting '%s' (did you mean %s?)", label, best);
    else
        problem(c, line, "unknown setting '%s'", label);
}

// 1 when text is a decimal number, nothing else.
static int is_number(const char *text)
{
    if (*text == '-' || *text == '+') text++;
    if (!*text) return 0;
    for (; *text; text++)
        if (*text < '0' || *text > '9') return 0;
    return 1;
}

// Says what a value that does not parse is taken as.
static void check_value(config_check *c, int line, int id, const char *v)
{
    const char *name = Settings[id].Name;
    int truth = istrue(v) || isfalse(v);
    switch (id) {
    case I_LOGLEVEL:
        for (const char *l : {"none", "error", "info", "debug"})
            if (s_stricmp(v, l) == 0) return;
        problem(c, line, "%s '%s' is none of none, error, info, debug: taken as error", name, v);
        break;
    case I_LOG_TO:
        if (log_destination(v) < 0)
            problem(c, line, "%s '%s' is none of file, syslog, stderr: taken as file", name, v);
        break;
    case I_TIMEOUT:
    case I_LOG_ROTATIONS:
    case I_LOG_SIZE:
    case I_SEARCH_LIMIT:
    case I_SEARCH_TIMEOUT:
    case I_RETRY_AFTER:
        if (!is_number(v))
            problem(c, line, "%s '%s' is not a number: taken as %d", name, v,
                    number_setting(id, v));
        else if (to_int(v) < number_floor(id))
            problem(c, line, "%s %s is below %d: taken as %d", name, v, number_floor(id),
                    number_floor(id));
        break;
    case I_DO_CHECK:
        if (!truth && strcmp(v, "move_from") != 0 && strcmp(v, "move_to") != 0)
            problem(c, line,
                    "%s '%s' is none of true, false, move_from, move_to (in lower case): "
                    "taken as true",
                    name, v);
        break;
    case I_DO_SET:
        if (!truth && s_stricmp(v, "existing") != 0 && s_stricmp(v, "move_to") != 0 &&
            s_stricmp(v, "move_from") != 0)
            problem(c, line,
                    "%s '%s' is none of true, false, existing, move_to, move_from: taken as "
                    "true (every set)",
                    name, v);
        break;
    case I_DO_LOOKUP:
    case I_DO_DEL:
    case I_DO_SEARCH:
        if (!truth) problem(c, line, "%s '%s' is neither true nor false: taken as true", name, v);
        break;
    case I_SET_ONCE:
    case I_DEL_ONCE:
        if (!truth) problem(c, line, "%s '%s' is neither true nor false: taken as false", name, v);
        break;
    }
}

// The loader's report of one line.
static void check_line(void *ctx, int line, SIniLineKind kind, const char *word, const char *domain,
                       const char *value, int stored)
{
    config_check *c = static_cast<config_check *>(ctx);
    if (kind == SINI_UNNAMED_DOMAIN) {
        problem(c, line, "module line without a module number: ignored");
    } else if (kind == SINI_DOMAIN) {
        auto first = c->numbers.emplace(to_int(word), line);
        if (!first.second)
            problem(c, line, "module number %d given twice (first at line %d)", to_int(word),
                    first.first->second);
        c->module_lines.emplace(word, line);
    } else if (sini_id(ini, word) < 0) {
        unknown_setting(c, line, word);
    } else if (!stored) {
        problem(c, line, "%s '%s' refused", word, value);
    } else {
        int id = sini_id(ini, word);
        if (domain && global_only(id))
            problem(c, line, "%s is read only before the first module line: ignored here", word);
        else
            check_value(c, line, id, value);
        if (id == I_BINARY) c->binary_lines[domain ? domain : ""] = line;
    }
}

// Whether the program of each module's binary can be run: it is taken as
// execve takes it, relative to the configuration directory where modules
// run.
static void check_binaries(config_check *c)
{
    for (int i = 0; i < sini_domains(ini); i++) {
        const char *domain = sini_domain_name(ini, i);
        int number = to_int(domain);
        const char *binary = sini_getx(ini, I_BINARY, domain, nullptr, 0);
        if (!binary) {
            problem(c, c->module_lines[domain], "Module%d has no binary", number);
            continue;
        }
        int line = c->binary_lines.count(domain) ? c->binary_lines[domain] : c->binary_lines[""];
        std::string program(binary, strcspn(binary, " \t\r\n"));
        std::string path = program[0] == '/' ? program : std::string(dir) + "/" + program;
        struct stat st;
        const char *why = nullptr;
        if (program.empty())
            why = "the binary line begins with a blank";
        else if (stat(path.c_str(), &st) != 0)
            why = strerror(errno);
        else if (!S_ISREG(st.st_mode))
            why = "not a regular file";
        else if (access(path.c_str(), X_OK) != 0)
            why = strerror(errno);
        if (why) problem(c, line, "Module%d cannot execute '%s': %s", number, program.c_str(), why);
    }
}

// One setting as it is in effect for the domain (null: the global
// section), in the file's own syntax: a value set in the section itself
// as its line, any other as a comment saying where it comes from.
static void print_setting(int id, const char *domain)
{
    const char *name = Settings[id].Name;
    const char *value = sini_getx(ini, id, domain, nullptr, 0);
    if (sini_has(ini, id, domain))
        printf("%s %s\n", name, value);
    else if (domain && sini_has(ini, id, nullptr))
        printf("# global: %s %s\n", name, value);
    else if (Settings[id].Default)
        printf("# default: %s %s\n", name, value);
    else if (value)
        printf("# from %s: %s %s\n", Settings[Settings[id].Fallback].Name, name, value);
    else
        printf("# unset: %s\n", name);
}

// The global settings, then each module's in the order the modules are
// asked: by number, and of equal numbers the later in the file first.
static void print_settings(void)
{
    printf("# The settings in effect; '#' lines show values not set in their section.\n");
    for (int id = 0; Settings[id].Name; id++)
        if (global_only(id)) print_setting(id, nullptr);
    int n = sini_domains(ini);
    std::vector<int> order(n);
    for (int i = 0; i < n; i++) order[i] = n - 1 - i;
    std::stable_sort(order.begin(), order.end(), [](int a, int b) {
        return to_int(sini_domain_name(ini, a)) < to_int(sini_domain_name(ini, b));
    });
    for (int i = 0; i < n; i++) {
        const char *domain = sini_domain_name(ini, order[i]);
        printf("\n# Module%d, asked %d of %d\nmodule %s\n", to_int(domain), i + 1, n, domain);
        for (int id = 0; Settings[id].Name; id++)
            if (!global_only(id) && id != I_SIG_HANDLER) print_setting(id, domain);
    }
    fflush(stdout);
}

// Loads the configuration at path into ini, checking every line: -t
// writes the problems to standard error, start-up logs them. 0 when the
// file cannot be loaded (errno tells why).
static int load_config(const char *path, config_check *c)
{
    ini = sini_init(Settings);
    return sini_load_lines(ini, path, "module", check_line, c);
}

// -t: every problem of the configuration on standard error with its file
// and line, then the settings in effect. Starts no module and opens no
// log. 1 when there was a problem, else 0.
static int test_config(const char *path)
{
    config_check c;
    c.file = path;
    c.to_stderr = 1;
    c.problems = 0;
    if (!load_config(path, &c)) {
        fprintf(stderr, "%s: cannot be loaded: %s\n", path, strerror(errno));
        return 1;
    }
    if (sini_domains(ini) == 0) problem(&c, 0, "no module defined");
    check_binaries(&c);
    print_settings();
    return c.problems > 0;
}

int config_problems(const char *path)
{
    SIni running = ini; // the checks read the store being checked as the global one
    config_check c;
    c.file = path;
    c.to_stderr = 0;
    c.problems = 0;
    if (!load_config(path, &c)) {
        emsg("Failed to load '%s', %s", path, strerror(errno));
        c.problems++;
    } else {
        if (sini_domains(ini) == 0) problem(&c, 0, "no module defined");
        check_binaries(&c);
    }
    sini_free(&ini);
    ini = running;
    return c.problems;
}

// --- Start-up and exit ---

void cleanup(void)
{
    free(records);
    records = nullptr;
    tallis_free(&auths);
    sini_free(&ini);
    log_free(&pLog);
}

static const char *global_setting(int id)
{
    return sini_getx(ini, id, nullptr, nullptr, 0);
}

// Opens the log where log_to sends it (its file in dir, named after the
// program), flushed at every line.
static void open_log(void)
{
    char file[PATH_SIZE];
    scpy(file, prog_name, PATH_SIZE);
    attach_ext(file, ".log", PATH_SIZE);
    pLog = log_init(level);
    log_to(pLog, global_setting(I_LOG_TO)); // first: the problems held back go there
    log_setup(pLog, dir, file);
    log_doflush(pLog, 1);
    log_set(pLog);
}

// Takes the log level and rotation from the configuration.
static void configure_log(void)
{
    if (level != LogDebug) log_set_level_name(pLog, global_setting(I_LOGLEVEL));
    const char *rotations = global_setting(I_LOG_ROTATIONS);
    if (to_int(rotations) < number_floor(I_LOG_ROTATIONS)) emsg("log_rotations MUST be >= 0");
    const char *size = global_setting(I_LOG_SIZE);
    if (to_int(size) < number_floor(I_LOG_SIZE)) emsg("log_size MUST be >= 1024");
    log_dorotate(pLog, number_setting(I_LOG_ROTATIONS, rotations),
                 (size_t)number_setting(I_LOG_SIZE, size));
}

// Starts one module per domain, in file order; the table orders them by the
// number their domain name starts with. 0 after writing the reason.
static int start_modules(int n)
{
    auths = tallis_init(n);
    tallis_setup(auths, cblookup, cbcheck, cbset, cbdel, cbsearch);
    tallis_set_once(auths, istrue(global_setting(I_SET_ONCE)));
    tallis_del_once(auths, istrue(global_setting(I_DEL_ONCE)));
    // Modules run in the configuration's directory, so the relative store
    // paths of a configuration mean the same from any current directory.
    tallis_workdir(auths, dir);
    tallis_search_limit(auths, number_setting(I_SEARCH_LIMIT, global_setting(I_SEARCH_LIMIT)));
    tallis_search_timeout(auths,
                          number_setting(I_SEARCH_TIMEOUT, global_setting(I_SEARCH_TIMEOUT)));
    tallis_retry_after(auths, number_setting(I_RETRY_AFTER, global_setting(I_RETRY_AFTER)));
    records = (CorvaneData *)calloc(n, sizeof(CorvaneData));
    for (int i = 0; i < n; i++) {
        char errmsg[WIRE_BUF] = "";
        records[i].domain = sini_domain_name(ini, i);
        records[i].ini = ini;
        const char *binary = sini_getx(ini, I_BINARY, records[i].domain, nullptr, 0);
        int timeout = to_int(sini_getx(ini, I_TIMEOUT, records[i].domain, nullptr, 0));
        if (!tallis_add(auths, binary, to_int(records[i].domain), timeout, &records[i], errmsg,
                        WIRE_BUF)) {
            print_dead("%s", errmsg);
            return 0;
        }
    }
    return 1;
}

int corvane_main(int argc, char **argv)
{
    int status = process_args(argc, argv, 0);
    if (status || finished >= 0) return status;
    if (daemon_connecting()) return daemon_connect(argc, argv); // -connect: a client only
    sig_init(nullptr);
    atexit(cleanup);
    exename(prog_name, argc > 0 ? argv[0] : nullptr, PATH_SIZE);
    if (!dir[0]) currentdir(dir, PATH_SIZE);
    char path[PATH_SIZE];
    scpy(path, dir, PATH_SIZE);
    attach_path(path, prog_name, PATH_SIZE);
    attach_ext(path, ".ini", PATH_SIZE);
    if (test_only) return test_config(path);

    config_check check;
    check.file = path;
    check.to_stderr = 0;
    check.problems = 0;
    // The log opens once the configuration says where it goes; the
    // problems found meanwhile are held back for it.
    int loaded = load_config(path, &check), load_error = errno;
    open_log();
    if (!loaded) {
        print_dead("Failed to load '%s', %s", path, strerror(load_error));
        return 1;
    }
    configure_log();
    imsg("**Corvane %s**", corvane_version);
    if (daemon_supervising()) return daemon_supervise(argc, argv, dir, prog_name); // -listen

    int n = sini_domains(ini);
    if (n == 0) {
        print_dead("No modules defined");
        return 1;
    }
    if (!start_modules(n)) return 1;
    status = process_args(argc, argv, 1);
    if (status) return status;

    // The command loop: a daemon's worker runs it once per client.
    if (daemon_working()) return daemon_work(argc, argv, auths, ini);
    client_serve(client_current(), argc, argv);
    return 0;
}
