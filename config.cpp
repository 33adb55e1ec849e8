// Configuration: the settings table and the judge of a configuration file.
#include "config.h"

#include "adt/lib.h"
#include "adt/log.h"
#include "peers.h"
#include "privilege.h"
#include "selfcheck.h"
#include "throttle.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace adt;

namespace
{

// Where a setting is read (the table's reach column).
enum Reach {
    GLOBAL, // only before the first module line; in a module section it has no effect
    MODULE, // for each module: its own section, else the global one
    UNREAD  // accepted anywhere and read nowhere
};

// What a setting's value must be (the table's kind column). The judge has
// one rule for each kind, so a new setting gets its check by being written
// in the table.
enum Kind {
    TEXT,    // anything: masks, address patterns, affixes
    COMMAND, // a module's command line: its program must be executable
    NUMBER,  // a whole decimal number of `unit`, at least `least`
    SWITCH,  // a truth word (true, yes, on, 1, false, no, off, 0, ...) or one of `words`
    WORD,    // one of `words`
    MODE,    // an octal file mode, 0 to 0777
    USER,    // the name or number of a user of this system
    GROUP,   // the name or number of a group of this system
    PEERS,   // users and "@group"s of this system, separated by commas or blanks
    DIR,     // the absolute path of a directory (or of none yet)
    NETS     // client addresses and CIDR networks, separated by commas or blanks
};

struct ValueKind {
    Kind kind;
    int least;             // NUMBER: the lowest value; a lower one is raised to it
    const char *unit;      // NUMBER: what it counts
    const char *words;     // SWITCH, WORD: the words it may be, blank-separated
    const char *otherwise; // SWITCH, WORD: what any other value is taken as
    bool exact;            // SWITCH, WORD: the words' letter case counts
};

constexpr ValueKind of(Kind kind)
{
    return {kind, 0, nullptr, nullptr, nullptr, false};
}
constexpr ValueKind number(int least, const char *unit)
{
    return {NUMBER, least, unit, nullptr, nullptr, false};
}
constexpr ValueKind word(const char *words, const char *otherwise)
{
    return {WORD, 0, nullptr, words, otherwise, false};
}
constexpr ValueKind truth(const char *otherwise, const char *words = nullptr, bool exact = false)
{
    return {SWITCH, 0, nullptr, words, otherwise, exact};
}

// One row of the settings table: the store's columns (every row holds one
// verbatim value), then the judge's.
struct SettingRow {
    int id;           // its position, named by the enumeration in config.h
    const char *name; // the label, any letter case
    const char *def;  // the default; null: none
    int fallback;     // the row read in its place when it is unset and has no default; -1: none
    Reach reach;
    ValueKind kind;
};

constexpr SettingRow Rows[] = {
    {I_LOGLEVEL, "loglevel", "error", -1, GLOBAL, word("none error info debug", "error")},
    {I_BINARY, "binary", nullptr, -1, MODULE, of(COMMAND)},
    {I_LOOKUP, "lookup", nullptr, I_MATCH, MODULE, of(TEXT)},
    {I_CHECK, "check", nullptr, I_MATCH, MODULE, of(TEXT)},
    {I_SET, "set", nullptr, I_MATCH, MODULE, of(TEXT)},
    {I_DEL, "del", nullptr, I_MATCH, MODULE, of(TEXT)},
    {I_SEARCH, "search", nullptr, I_MATCH, MODULE, of(TEXT)},
    {I_MATCH, "match", "*", -1, MODULE, of(TEXT)},
    {I_DO_LOOKUP, "do_lookup", "true", -1, MODULE, truth("true")},
    {I_DO_CHECK, "do_check", "true", -1, MODULE, truth("true", "move_from move_to", true)},
    {I_DO_SET, "do_set", "existing", -1, MODULE,
     truth("true (every set)", "existing move_to move_from")},
    {I_DO_DEL, "do_del", "false", -1, MODULE, truth("true")},
    {I_DO_SEARCH, "do_search", "true", -1, MODULE, truth("true")},
    {I_IP_MATCH, "ip_match", "*", -1, MODULE, of(TEXT)},
    {I_STRIP_PREFIX, "strip_prefix", nullptr, -1, MODULE, of(TEXT)},
    {I_STRIP_SUFFIX, "strip_suffix", nullptr, -1, MODULE, of(TEXT)},
    {I_TIMEOUT, "timeout", "20000", -1, MODULE, number(100, "ms")},
    {I_SET_ONCE, "set_once", "false", -1, GLOBAL, truth("false")},
    {I_DEL_ONCE, "del_once", "false", -1, GLOBAL, truth("false")},
    {I_SIG_HANDLER, "sig_handler", "false", -1, UNREAD, of(TEXT)},
    {I_LOG_ROTATIONS, "log_rotations", "4", -1, GLOBAL, number(0, "files")},
    {I_LOG_SIZE, "log_size", "1048576", -1, GLOBAL, number(1024, "bytes")},
    {I_SEARCH_LIMIT, "search_limit", "100000", -1, GLOBAL, number(1, "lines")},
    {I_WORKERS, "workers", nullptr, -1, GLOBAL, number(1, "processes")},
    {I_CLIENT_TIMEOUT, "client_timeout", "60", -1, GLOBAL, number(1, "s")},
    {I_SOCKET_MODE, "socket_mode", "0600", -1, GLOBAL, of(MODE)},
    {I_SOCKET_GROUP, "socket_group", nullptr, -1, GLOBAL, of(GROUP)},
    {I_WRITERS, "writers", nullptr, -1, GLOBAL, of(PEERS)},
    {I_SEARCH_TIMEOUT, "search_timeout", "60000", -1, GLOBAL, number(100, "ms")},
    {I_RETRY_AFTER, "retry_after", "60", -1, GLOBAL, number(0, "s")},
    {I_LOG_TO, "log_to", "file", -1, GLOBAL, word("file syslog stderr", "file")},
    {I_CLIENTS, "clients", nullptr, -1, GLOBAL, of(PEERS)},
    {I_USER, "user", nullptr, -1, GLOBAL, of(USER)},
    {I_GROUP, "group", nullptr, -1, GLOBAL, of(GROUP)},
    {I_STATE_DIR, "state_dir", nullptr, -1, GLOBAL, of(DIR)},
    {I_LOG_DIR, "log_dir", nullptr, -1, GLOBAL, of(DIR)},
    {I_MAX_CLIENTS, "max_clients", "1024", -1, GLOBAL, number(1, "connections")},
    {I_FAIL_WINDOW, "fail_window", "600", -1, GLOBAL, number(1, "s")},
    {I_FAIL_LIMIT, "fail_limit", "5", -1, GLOBAL, number(0, "failures")},
    {I_USER_FAIL_LIMIT, "user_fail_limit", "0", -1, GLOBAL, number(0, "failures")},
    {I_FAIL_DELAY, "fail_delay", "2000", -1, GLOBAL, number(0, "ms")},
    {I_FAIL_EXEMPT, "fail_exempt", "127.0.0.0/8 ::1", -1, GLOBAL, of(NETS)},
    {I_FAIL_ENTRIES, "fail_entries", "100000", -1, GLOBAL, number(1, "entries")},
    {I_CACHE_TTL, "cache_ttl", "0", -1, GLOBAL, number(0, "s")},
    {I_CACHE_NEGATIVE_TTL, "cache_negative_ttl", "0", -1, GLOBAL, number(0, "s")},
    {I_CACHE_ENTRIES, "cache_entries", "10000", -1, GLOBAL, number(1, "entries")},
};
constexpr int ROWS = sizeof Rows / sizeof Rows[0];

constexpr bool ids_are_positions()
{
    for (int i = 0; i < ROWS; i++)
        if (Rows[i].id != i) return false;
    return true;
}
static_assert(ids_are_positions(), "each row's id is its position");

// The store's table: the store's columns of Rows, then the end row.
constexpr std::array<SIniTable, ROWS + 1> store_table()
{
    std::array<SIniTable, ROWS + 1> t{};
    for (int i = 0; i < ROWS; i++)
        t[i] = {Rows[i].id, Rows[i].name, SM_NONE, Rows[i].def, Rows[i].fallback, "VALUE"};
    t[ROWS] = {-1, nullptr, SM_NONE, nullptr, -1, nullptr};
    return t;
}
constexpr std::array<SIniTable, ROWS + 1> Settings = store_table();

} // namespace

const char *config_global(SIni ini, int id)
{
    return sini_getx(ini, id, nullptr, nullptr, 0);
}

const char *config_name(int id)
{
    return id >= 0 && id < ROWS ? Rows[id].name : nullptr;
}

char *config_directory(SIni ini, int id, const char *dir, char *out)
{
    const char *value = config_global(ini, id);
    scpy(out, value && value[0] == '/' ? value : dir, PATH_BUF);
    if (value && value[0] != '/') attach_path(out, value, PATH_BUF);
    return out;
}

// A number setting's value v as it is taken: its leading decimal integer,
// else the default's, raised to the row's least (*raised, when not null,
// says whether it was).
static int number_taken(const SettingRow &r, const char *v, bool *raised)
{
    int n = number_or(v, number_or(r.def, 0));
    if (raised) *raised = n < r.kind.least;
    return n < r.kind.least ? r.kind.least : n;
}

int config_number(SIni ini, int id, const char *domain, bool *raised)
{
    return number_taken(Rows[id], sini_getx(ini, id, domain, nullptr, 0), raised);
}

// What the check of a configuration has found so far.
struct config_check {
    SIni ini;                                // the store being loaded
    const char *file;                        // its path, for the messages
    const char *dir;                         // where the modules run
    int how;                                 // CONFIG_TO_LOG, CONFIG_TO_STDERR, CONFIG_ASK_MODULES
    ConfigVerdict *verdict;                  // what it found
    std::map<int, int> numbers;              // module number: line of its first module line
    std::map<std::string, int> module_lines; // domain name: line of its first module line
    std::map<std::string, int> binary_lines; // domain name ("" global): line of its binary
    std::map<int, int> global_lines;         // global setting: its line
    RunAs as;                                // the user modules run as
};

// Writes one finding where c->how says; a problem is counted, a warning not.
static void note(config_check *c, int line, bool counts, const char *text)
{
    if (counts) c->verdict->problems++;
    if (c->how & CONFIG_TO_STDERR) fprintf(stderr, "%s:%d: %s\n", c->file, line, text);
    if (c->how & CONFIG_TO_LOG) emsg("%s:%d: %s", c->file, line, text);
}

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
    note(c, line, true, bf);
}

// A problem that keeps a daemon from starting: the first is its reason.
static void unstartable(config_check *c, int line, const char *text)
{
    problem(c, line, "%s", text);
    if (!c->verdict->unstartable[0]) scpy(c->verdict->unstartable, text, WIRE_BUF);
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
    for (const SettingRow &r : Rows) {
        int d = distance(label, r.name);
        if (d < best_distance) best_distance = d, best = r.name;
    }
    if (best)
        problem(c, line, "unknown setting '%s' (did you mean %s?)", label, best);
    else
        problem(c, line, "unknown setting '%s'", label);
}

// The words of a list separated by blanks, tabs or commas.
static std::vector<std::string> words_of(const char *list)
{
    std::vector<std::string> w(1);
    for (const char *p = list ? list : ""; *p; p++)
        if (!strchr(" \t,", *p))
            w.back() += *p;
        else if (!w.back().empty())
            w.emplace_back();
    if (w.back().empty()) w.pop_back();
    return w;
}

// 1 when v is one of the kind's words.
static int one_of(const ValueKind &k, const char *v)
{
    for (const std::string &w : words_of(k.words))
        if ((k.exact ? strcmp(v, w.c_str()) : s_stricmp(v, w.c_str())) == 0) return 1;
    return 0;
}

// The kind's words as "a, b, c", after lead.
static std::string listed(const char *lead, const ValueKind &k)
{
    std::string text = lead;
    for (const std::string &w : words_of(k.words)) text += (text.empty() ? "" : ", ") + w;
    return text + (k.exact ? " (in lower case)" : "");
}

static int all_digits(const char *v)
{
    return *v && strspn(v, "0123456789") == strlen(v);
}

// A user Corvane can run as: one the user database knows, by name or number.
static int user_exists(const char *v)
{
    long uid = peers_uid(v);
    return uid >= 0 && getpwuid(static_cast<uid_t>(uid));
}

static int group_exists(const char *v)
{
    return all_digits(v) || getgrnam(v);
}

// A number that does not parse, or is below the least, and what it is
// taken as.
static void check_number(config_check *c, int line, const SettingRow &r, const char *v)
{
    char *end;
    errno = 0;
    long n = strtol(v, &end, 10);
    int taken = number_taken(r, v, nullptr);
    if (end == v || errno == ERANGE || n < INT_MIN || n > INT_MAX) {
        if (r.def)
            problem(c, line, "%s '%s' is not a number: taken as %d", r.name, v, taken);
        else
            problem(c, line, "%s '%s' is not a number: ignored", r.name, v);
    } else if (end[strspn(end, " \t")]) {
        problem(c, line, "%s '%s' is not a whole number of %s: taken as %d", r.name, v, r.kind.unit,
                taken);
    } else if (n < r.kind.least) {
        problem(c, line, "%s %s is below %d %s: taken as %d", r.name, v, r.kind.least, r.kind.unit,
                taken);
    }
}

// Says what is wrong with value v of row r, and what it is taken as: one
// rule for each kind of value.
static void check_value(config_check *c, int line, const SettingRow &r, const char *v)
{
    const ValueKind &k = r.kind;
    switch (k.kind) {
    case NUMBER:
        check_number(c, line, r, v);
        break;
    case SWITCH:
        if (istrue(v) || isfalse(v) || one_of(k, v)) break;
        if (k.words)
            problem(c, line, "%s '%s' is none of %s: taken as %s", r.name, v,
                    listed("true, false", k).c_str(), k.otherwise);
        else
            problem(c, line, "%s '%s' is neither true nor false: taken as %s", r.name, v,
                    k.otherwise);
        break;
    case WORD:
        if (!one_of(k, v))
            problem(c, line, "%s '%s' is none of %s: taken as %s", r.name, v, listed("", k).c_str(),
                    k.otherwise);
        break;
    case MODE: {
        char *end;
        long mode = strtol(v, &end, 8);
        if (end == v || *end || mode < 0 || mode > 0777)
            problem(c, line, "%s '%s' is not an octal mode (0 to 0777): taken as %s", r.name, v,
                    r.def);
        break;
    }
    case USER:
        if (!user_exists(v)) problem(c, line, "%s '%s': no such user", r.name, v);
        break;
    case GROUP:
        if (!group_exists(v)) problem(c, line, "%s '%s': no such group", r.name, v);
        break;
    case PEERS: {
        PeerList list;
        std::vector<std::string> unknown;
        peers_parse(v, &list, &unknown);
        for (const std::string &w : unknown)
            problem(c, line, "%s '%s': no such %s", r.name, w.c_str(),
                    w[0] == '@' ? "group" : "user");
        break;
    }
    case DIR: {
        struct stat st;
        if (v[0] != '/')
            problem(c, line, "%s '%s' is not an absolute path", r.name, v);
        else if (stat(v, &st) == 0 && !S_ISDIR(st.st_mode))
            problem(c, line, "%s '%s' is not a directory", r.name, v);
        break;
    }
    case NETS: {
        SharedSettings set;
        char why[WIRE_BUF];
        if (!throttle_exempt(&set, v, why, sizeof why)) problem(c, line, "%s", why);
        break;
    }
    case TEXT:
    case COMMAND: // its program is checked for each module
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
        auto first = c->numbers.emplace(leading_int(word), line);
        if (!first.second)
            problem(c, line, "module number %d given twice (first at line %d)", leading_int(word),
                    first.first->second);
        c->module_lines.emplace(word, line);
    } else if (sini_id(c->ini, word) < 0) {
        unknown_setting(c, line, word);
    } else if (!stored) {
        problem(c, line, "%s '%s' refused", word, value);
    } else {
        const SettingRow &r = Rows[sini_id(c->ini, word)];
        if (domain && r.reach == GLOBAL)
            problem(c, line, "%s is a global setting; in a module section it has no effect",
                    r.name);
        else
            check_value(c, line, r, value);
        if (r.id == I_BINARY) c->binary_lines[domain ? domain : ""] = line;
        if (!domain) c->global_lines[r.id] = line;
    }
}

// "Module%d (%s)": the module's number and its program's name.
static std::string module_label(const char *domain, const char *binary)
{
    std::string program(binary, strcspn(binary, " \t\r\n"));
    program.erase(0, program.rfind('/') + 1);
    return "Module" + std::to_string(leading_int(domain)) + " (" + program + ")";
}

// Asks the module of domain to check itself, and reports what it says at
// the line of its binary.
static void ask_module(config_check *c, const char *domain, const char *binary, int line)
{
    SelfCheck said = selfcheck_module(binary, c->dir, config_number(c->ini, I_TIMEOUT, domain),
                                      c->as.change ? static_cast<int>(c->as.uid) : -1,
                                      c->as.change ? static_cast<int>(c->as.gid) : -1);
    std::string who = module_label(domain, binary);
    std::vector<std::string> &shown = c->verdict->said[domain];
    for (const std::string &w : said.warnings) {
        note(c, line, false, (who + ": warning: " + w).c_str());
        shown.push_back("warning: " + w);
    }
    for (const std::string &p : said.problems) {
        problem(c, line, "%s: %s", who.c_str(), p.c_str());
        shown.push_back(p);
    }
    if (!said.failure.empty()) {
        problem(c, line, "%s: its self-check %s", who.c_str(), said.failure.c_str());
        shown.push_back(said.failure);
    }
}

// Whether the program of each module's binary can be run: it is taken as
// execve takes it, relative to the state directory where modules run. With CONFIG_ASK_MODULES, each
// one that can is asked to check itself.
static void check_binaries(config_check *c)
{
    char bf[WIRE_BUF];
    for (int i = 0; i < sini_domains(c->ini); i++) {
        const char *domain = sini_domain_name(c->ini, i);
        int number = leading_int(domain);
        const char *binary = sini_getx(c->ini, I_BINARY, domain, nullptr, 0);
        if (!binary) {
            lprintf(bf, sizeof bf, "Module%d has no binary", number);
            unstartable(c, c->module_lines[domain], bf);
            continue;
        }
        int line = c->binary_lines.count(domain) ? c->binary_lines[domain] : c->binary_lines[""];
        std::string program(binary, strcspn(binary, " \t\r\n"));
        std::string path = program[0] == '/' ? program : std::string(c->dir) + "/" + program;
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
        if (!why) {
            if (c->how & CONFIG_ASK_MODULES) ask_module(c, domain, binary, line);
            continue;
        }
        lprintf(bf, sizeof bf, "Module%d cannot execute '%s': %s", number, program.c_str(), why);
        unstartable(c, line, bf);
    }
}

// Whether the user modules run as may use what they and the log need.
static void check_access(config_check *c)
{
    if (config_global(c->ini, I_GROUP) && !config_global(c->ini, I_USER))
        problem(c, c->global_lines[I_GROUP], "group is used only with user: ignored");
    char state[PATH_BUF], logs[PATH_BUF], file[PATH_BUF];
    config_directory(c->ini, I_STATE_DIR, c->dir, state);
    config_directory(c->ini, I_LOG_DIR, c->dir, logs);
    exename(file, c->file, sizeof file);
    attach_ext(file, ".log", sizeof file);
    bool to_file = log_destination(config_global(c->ini, I_LOG_TO)) <= LOG_TO_FILE;
    std::vector<std::string> found;
    runas_check_access(c->as, state, sini_has(c->ini, I_STATE_DIR, nullptr), logs,
                       to_file ? file : nullptr, &found);
    int line = c->global_lines.count(I_USER) ? c->global_lines[I_USER] : 0;
    for (const std::string &f : found) problem(c, line, "%s", f.c_str());
}

// For -t: the throttle and the cache set in the file work across logins
// only in the daemon; a per-login process keeps them for itself.
static void per_login_note(config_check *c)
{
    for (int id : {I_FAIL_LIMIT, I_USER_FAIL_LIMIT, I_CACHE_TTL, I_CACHE_NEGATIVE_TTL}) {
        if (!c->global_lines.count(id) || config_number(c->ini, id, nullptr) == 0) continue;
        note(c, c->global_lines[id], false,
             "warning: without -listen, a per-login process forgets its failure counts and "
             "kept answers when it ends; the daemon keeps them for all its clients");
        return;
    }
}

SIni config_load(const char *source)
{
    SIni ini = sini_init(Settings.data());
    if (sini_load_lines(ini, source, "module", nullptr, nullptr)) return ini;
    int e = errno;
    sini_free(&ini);
    errno = e;
    return nullptr;
}

SIni config_judge(const char *path, const char *dir, int how, ConfigVerdict *verdict)
{
    return config_judge_from(path, path, dir, how, verdict);
}

SIni config_judge_from(const char *source, const char *path, const char *dir, int how,
                       ConfigVerdict *verdict)
{
    verdict->problems = 0;
    verdict->unstartable[0] = 0;
    verdict->said.clear();
    config_check c;
    c.ini = sini_init(Settings.data());
    c.file = path;
    c.dir = dir;
    c.how = how;
    c.verdict = verdict;
    if (!sini_load_lines(c.ini, source, "module", check_line, &c)) {
        int e = errno;
        sini_free(&c.ini);
        errno = e;
        return nullptr;
    }
    if (sini_domains(c.ini) == 0) {
        problem(&c, 0, "no module defined");
        scpy(verdict->unstartable, "No modules defined", WIRE_BUF);
    }
    // A user that does not exist was said with its line; modules would not run.
    std::string why;
    bool known =
        runas_resolve(config_global(c.ini, I_USER), config_global(c.ini, I_GROUP), &c.as, &why);
    if (!known) c.how &= ~CONFIG_ASK_MODULES;
    char state[PATH_BUF];
    c.dir = config_directory(c.ini, I_STATE_DIR, dir, state);
    check_binaries(&c);
    c.dir = dir;
    if (known) check_access(&c);
    if (how & CONFIG_ASK_MODULES) per_login_note(&c);
    return c.ini;
}

// One setting as it is in effect for the domain (null: the global
// section), in the file's own syntax: a value set in the section itself
// as its line, any other as a comment saying where it comes from.
static void print_setting(SIni ini, const SettingRow &r, const char *domain)
{
    const char *value = sini_getx(ini, r.id, domain, nullptr, 0);
    if (sini_has(ini, r.id, domain))
        printf("%s %s\n", r.name, value);
    else if (domain && sini_has(ini, r.id, nullptr))
        printf("# global: %s %s\n", r.name, value);
    else if (r.def)
        printf("# default: %s %s\n", r.name, value);
    else if (value)
        printf("# from %s: %s %s\n", Rows[r.fallback].name, r.name, value);
    else
        printf("# unset: %s\n", r.name);
}

// What the module of domain said when asked to check itself, under its binary.
static void print_said(const ConfigVerdict *verdict, const char *domain)
{
    if (!verdict) return;
    auto said = verdict->said.find(domain);
    if (said == verdict->said.end()) return;
    for (const std::string &line : said->second) printf("#   self-check: %s\n", line.c_str());
}

// The global settings, then each module's in the order the modules are
// asked: by number, and of equal numbers the later in the file first.
void config_print(SIni ini, const ConfigVerdict *verdict)
{
    printf("# The settings in effect; '#' lines show values not set in their section.\n");
    for (const SettingRow &r : Rows)
        if (r.reach == GLOBAL) print_setting(ini, r, nullptr);
    int n = sini_domains(ini);
    std::vector<int> order(n);
    for (int i = 0; i < n; i++) order[i] = n - 1 - i;
    std::stable_sort(order.begin(), order.end(), [ini](int a, int b) {
        return leading_int(sini_domain_name(ini, a)) < leading_int(sini_domain_name(ini, b));
    });
    for (int i = 0; i < n; i++) {
        const char *domain = sini_domain_name(ini, order[i]);
        printf("\n# Module%d, asked %d of %d\nmodule %s\n", leading_int(domain), i + 1, n, domain);
        for (const SettingRow &r : Rows) {
            if (r.reach != MODULE) continue;
            print_setting(ini, r, domain);
            if (r.id == I_BINARY) print_said(verdict, domain);
        }
    }
    fflush(stdout);
}
