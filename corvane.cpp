// Corvane, the authentication multiplexer: start-up, the command loop and
// client protocol, and the per-module gatekeeping callbacks.
#include "corvane.h"

#include "adt/lib.h"
#include "client.h"
#include "daemon.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace adt;

// --- Settings ---

const SIniTable _Settings[] = {
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
    {I_WORKERS, "workers", SM_NONE, nullptr, -1, "VALUE"},
    {I_CLIENT_TIMEOUT, "client_timeout", SM_NONE, "60", -1, "VALUE"},
    {I_SOCKET_MODE, "socket_mode", SM_NONE, "0600", -1, "VALUE"},
    {I_SOCKET_GROUP, "socket_group", SM_NONE, nullptr, -1, "VALUE"},
    {I_WRITERS, "writers", SM_NONE, nullptr, -1, "VALUE"},
    {-1, nullptr, SM_NONE, nullptr, -1, nullptr},
};

// --- Process-wide state ---

int Mode = MODE_TERMINAL;
int search_found = 0;
int search_outof = 0;

static char prog_name[1000];        // invocation name without directory and extension
static char dir[1000];              // -path, else the current working directory
static LogLevel level = LogError;   // LogDebug after -debug
static Log *pLog = nullptr;         // the program's log
static SIni ini = nullptr;          // the loaded configuration
static Tallis *auths = nullptr;     // the module table
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

// Formats into bf (1000 bytes), cut at 999 characters, without trailing
// line ends, so that the reply is exactly one line.
static void format_reply(char *bf, const char *format, va_list ap)
{
    if (adt::vsnprintf(bf, 1000, format, ap) == -1) bf[999] = 0;
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
    char bf[1000];
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
    char bf[1000];
    char *w[10];
    scpy(bf, result, 1000);
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

// Command words and the mode each one selects.
struct command_word {
    const char *word;
    int mode;
};
static const command_word Commands[] = {
    {"lookup", MODE_LOOKUP}, {"check", MODE_CHECK},   {"set", MODE_SET},
    {"del", MODE_DEL},       {"search", MODE_SEARCH}, {"quit", MODE_QUIT},
    {"exit", MODE_QUIT},     {"bye", MODE_QUIT},      {"version", MODE_VERSION},
};

static int command_mode(const char *word)
{
    for (const command_word &c : Commands)
        if (s_stricmp(word, c.word) == 0) return c.mode;
    return MODE_TERMINAL;
}

// The words of a command given on the command line: the first command
// option without its dash, then every argument after it, at most 100 words
// in p. Returns their number (0 when there is no such option).
static int command_line_words(int argc, char **argv, char **p)
{
    static const char *const options[] = {"-lookup", "-check", "-set", "-del", "-search"};
    for (int i = 1; i < argc; i++) {
        for (const char *opt : options) {
            if (s_stricmp(argv[i], opt) != 0) continue;
            int n = 0;
            p[n++] = argv[i] + 1;
            for (int j = i + 1; j < argc && n < 100; j++) p[n++] = argv[j];
            return n;
        }
    }
    return 0;
}

// Words w[0..n-1] joined by single blanks into a new heap text; the caller
// frees it.
static char *join_words(char **w, int n)
{
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

// Cuts the line end off a line read from standard input. The first byte is
// left alone, so an empty line still yields one (empty) word.
static void trim_line(char *input)
{
    char *end = input + strlen(input);
    while (end > input && (*end == '\r' || *end == '\n' || *end == 0)) *end-- = 0;
}

void process_command(int argc, char **argv, char *input)
{
    int mode = Mode;
    char *result = nullptr;
    char *info = nullptr;
    char *p[100];
    int nparam;
    char bf[1000];

    if (Mode == MODE_TERMINAL) {
        trim_line(input);
        imsg("INPUT[%s]", input);
        nparam = ssplit(input, " \r\n", p, 100, 1);
        if (nparam > 0) mode = command_mode(p[0]);
        if (nparam > 0 && daemon_gate(p[0], mode)) return; // a daemon's client may be limited
    } else {
        nparam = command_line_words(argc, argv, p);
    }

    switch (mode) {
    case MODE_QUIT:
        tallis_quit(auths);
        print_ok("bye");
        Mode = MODE_QUIT;
        return;
    case MODE_VERSION:
        print_ok("Corvane %s", corvane_version);
        return;
    case MODE_LOOKUP:
        if (nparam < 2)
            result = s_strdup("-ERR Lookup requires 1 parameter 'username'");
        else
            tallis_lookup(auths, p[1], &result);
        break;
    case MODE_CHECK:
        if (nparam < 2) {
            result = s_strdup(
                "-ERR Check requires at least 2 parameters 'username' 'password' ['ipaddress']");
        } else if (nparam == 2) {
            lprintf(bf, 999, "-ERR %s not found or password incorrect", p[1]);
            result = s_strdup(bf);
        } else {
            tallis_check(auths, p[1], p[2], nparam > 3 ? p[3] : nullptr, &result);
        }
        break;
    case MODE_SET:
        if (nparam < 3) {
            result = s_strdup(
                "-ERR Set requires at least 2 parameters 'username' 'password' ['label=value']");
        } else {
            if (nparam > 3) info = join_words(p + 3, nparam - 3);
            tallis_set(auths, p[1], p[2], info, &result);
        }
        break;
    case MODE_DEL:
        if (nparam < 2)
            result = s_strdup("-ERR Del requires 1 parameter 'username'");
        else
            tallis_del(auths, p[1], &result);
        break;
    case MODE_SEARCH:
        if (nparam < 2) {
            result = s_strdup("-ERR Search requires at least 1 parameter 'search string'");
        } else {
            search_found = 0;
            search_outof = 0;
            if (nparam > 2) info = join_words(p + 2, nparam - 2);
            tallis_search(auths, p[1], info, search_result, &result);
            free(result);
            result = tallis_make_result("+OK Search Complete %d items found out of %d",
                                        search_found, search_outof);
        }
        break;
    default:
        result = s_strdup("-ERR Unknown command");
        break;
    }

    imsg("OUTPUT[%s]", result);
    write_line("", result);
    client_reply_done(client_current());
    free(result);
    free(info);
}

// --- Gatekeeping ---

// The module's value of a setting: its domain's, else the global one, else
// the row's default or fallback.
static const char *setting(CorvaneData *d, int id)
{
    return d ? sini_getx(d->ini, id, d->domain, nullptr, 0) : nullptr;
}

int match_match(const char *mask, const char *name)
{
    if (!mask) return 0;
    char copy[1000];
    char *entry[100];
    scpy(copy, mask, 1000);
    int n = ssplit(copy, ", ", entry, 100, 1);
    for (int i = 0; i < n; i++) {
        const char *pattern = entry[i];
        if (pattern[0] == '!' && pattern[1] != '!') {
            if (wild_match(name, pattern + 1)) return 0;
            continue;
        }
        if (pattern[0] == '!') pattern++;
        if (wild_match(name, pattern)) return 1;
    }
    return 0;
}

char *strip_username(CorvaneData *data, char *username)
{
    if (!username) return nullptr;
    char *name = username;
    const char *prefix = setting(data, I_STRIP_PREFIX);
    if (prefix && s_strnicmp(name, prefix, strlen(prefix)) == 0) name += strlen(prefix);
    const char *suffix = setting(data, I_STRIP_SUFFIX);
    if (suffix) {
        size_t len = strlen(name), slen = strlen(suffix);
        if (slen <= len && memcmp(name + len - slen, suffix, slen) == 0) name[len - slen] = 0;
    }
    return name;
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
    if (!match_match(mask, name)) {
        dmsg("Not doing %s in Module%d because %s does not match [%s]", op, module, name, mask);
        return nullptr;
    }
    return strip_username(d, name);
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
    if (!match_match(mask, username)) {
        dmsg("Not doing check in Module%d because %s does not match [%s]", module, username, mask);
        return nullptr;
    }
    const char *ips = setting(d, I_IP_MATCH);
    if (!(ips && strcmp(ips, "*") == 0) && ip && !wild_list(ip, ips)) {
        dmsg("Not doing check in Module%d because %s does not match [%s]", module, ip, ips);
        return nullptr;
    }
    return strip_username(d, username);
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
        emsg("Not doing set in Module%d because user lookup failed, %s", module, reply);
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
    if (!match_match(mask, username)) {
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
        if (!user_exists(m, module, username)) return nullptr;
    }
    return strip_username(d, username);
}

// --- Command-line options ---

// A command option, the mode it selects, how many arguments must follow it
// and the error written when fewer do.
struct command_option {
    const char *option;
    int mode;
    int needs;
    const char *error;
};
static const command_option Options[] = {
    {"-lookup", MODE_LOOKUP, 1, "lookup requires a parameter"},
    {"-check", MODE_CHECK, 1, "check requires a parameter"},
    {"-set", MODE_SET, 2, "set requires at least 2 parameters"},
    {"-del", MODE_DEL, 1, "del requires a parameter"},
    {"-search", MODE_SEARCH, 1, "search requires a parameter"},
    {"-quit", MODE_QUIT, 0, nullptr},
};

// The command word of each mode, for the line-break refusal.
static const char *const ModeWords[] = {"", "lookup", "check", "set", "del", "search"};

static int process_options(int argc, char **argv)
{
    int status = 0;
    for (int i = 1; i < argc; i++) {
        if (s_stricmp(argv[i], "-version") == 0) {
            print_ok("Corvane %s", corvane_version);
            return 1;
        }
        if (s_stricmp(argv[i], "-debug") == 0) {
            level = LogDebug;
        } else if (daemon_option(argc, argv, &i, &status)) { // -listen, -connect
            if (status) return status;
        } else if (s_stricmp(argv[i], "-path") == 0) {
            if (i + 1 >= argc) {
                print_err("path requires a parameter");
                return 1;
            }
            scpy(dir, argv[++i], 1000);
        }
    }
    return 0;
}

// How many words after the command word go to a module as one field each:
// the user name, and for check the password and the address, for set the
// password. Standard input can never put a blank into them.
static const int SingleFields[] = {0, 1, 3, 2, 1, 1};

// Each command word must reach the modules as part of one request line, so
// words holding a line end are refused before any module is asked. So are
// blanks in a single field: the module would split it, and a name "root x"
// that the masks judged whole would reach it as the user root.
static int check_words(int argc, char **argv)
{
    if (Mode < MODE_LOOKUP || Mode > MODE_SEARCH) return 0;
    char *p[100];
    int n = command_line_words(argc, argv, p);
    for (int i = 1; i < n; i++) {
        if (strpbrk(p[i], "\r\n")) {
            print_err("%s parameters must not contain line breaks", ModeWords[Mode]);
            return 1;
        }
        if (i <= SingleFields[Mode] && strchr(p[i], ' ')) {
            print_err("%s parameters must not contain blanks", ModeWords[Mode]);
            return 1;
        }
    }
    return 0;
}

static int process_commands(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        for (const command_option &o : Options) {
            if (s_stricmp(argv[i], o.option) != 0) continue;
            if (argc - 1 - i < o.needs) {
                print_err("%s", o.error);
                return 1;
            }
            Mode = o.mode;
        }
    }
    return check_words(argc, argv);
}

int process_args(int argc, char **argv, int stage)
{
    return stage == 0 ? process_options(argc, argv) : process_commands(argc, argv);
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

// Opens the log in dir, named after the program, flushed at every line.
static void open_log(void)
{
    char file[1000];
    scpy(file, prog_name, 1000);
    attach_ext(file, ".log", 1000);
    pLog = log_init(level);
    log_setup(pLog, dir, file);
    log_doflush(pLog, 1);
    log_set(pLog);
}

// Takes the log level and rotation from the configuration.
static void configure_log(void)
{
    if (level != LogDebug) log_set_level_name(pLog, global_setting(I_LOGLEVEL));
    int rotations = to_int(global_setting(I_LOG_ROTATIONS));
    if (rotations < 0) {
        emsg("log_rotations MUST be >= 0");
        rotations = 0;
    }
    int size = to_int(global_setting(I_LOG_SIZE));
    if (size < 1024) {
        emsg("log_size MUST be >= 1024");
        size = 1024;
    }
    log_dorotate(pLog, rotations, (size_t)size);
}

// Starts one module per domain, in file order; the table orders them by the
// number their domain name starts with. 0 after writing the reason.
static int start_modules(int n)
{
    auths = tallis_init(n);
    tallis_setup(auths, cblookup, cbcheck, cbset, cbdel, cbsearch);
    tallis_set_once(auths, istrue(global_setting(I_SET_ONCE)));
    tallis_del_once(auths, istrue(global_setting(I_DEL_ONCE)));
    records = (CorvaneData *)calloc(n, sizeof(CorvaneData));
    for (int i = 0; i < n; i++) {
        char errmsg[1000] = "";
        records[i].domain = sini_domain_name(ini, i);
        records[i].ini = ini;
        const char *binary = sini_getx(ini, I_BINARY, records[i].domain, nullptr, 0);
        int timeout = to_int(sini_getx(ini, I_TIMEOUT, records[i].domain, nullptr, 0));
        if (!tallis_add(auths, binary, to_int(records[i].domain), timeout, &records[i], errmsg, 1000)) {
            print_dead("%s", errmsg);
            return 0;
        }
    }
    return 1;
}

int corvane_main(int argc, char **argv)
{
    int status = process_args(argc, argv, 0);
    if (status) return status;
    if (daemon_connecting()) return daemon_connect(argc, argv); // -connect: a client only
    sig_init(nullptr);
    atexit(cleanup);
    exename(prog_name, argc > 0 ? argv[0] : nullptr, 1000);
    if (!dir[0]) currentdir(dir, 1000);
    open_log();

    char path[1000];
    scpy(path, dir, 1000);
    attach_path(path, prog_name, 1000);
    attach_ext(path, ".ini", 1000);
    ini = sini_init(_Settings);
    if (!sini_load(ini, path, "module")) {
        print_dead("Failed to load '%s', %s", path, strerror(errno));
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
