// Configuration: the settings table and the judge of a configuration file.
#include "config.h"

#include "adt/lib.h"
#include "adt/log.h"
#include "peers.h"
#include "privilege.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace adt;

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
    {I_CLIENTS, "clients", SM_NONE, nullptr, -1, "VALUE"},
    {I_USER, "user", SM_NONE, nullptr, -1, "VALUE"},
    {I_GROUP, "group", SM_NONE, nullptr, -1, "VALUE"},
    {I_STATE_DIR, "state_dir", SM_NONE, nullptr, -1, "VALUE"},
    {I_LOG_DIR, "log_dir", SM_NONE, nullptr, -1, "VALUE"},
    {I_MAX_CLIENTS, "max_clients", SM_NONE, "1024", -1, "VALUE"},
    {-1, nullptr, SM_NONE, nullptr, -1, nullptr},
};

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
    case I_MAX_CLIENTS:
        return 1;
    default:
        return INT_MIN;
    }
}

// The value a numeric setting is taken as.
static int number_setting(int id, const char *text)
{
    int v = leading_int(text);
    return v < number_floor(id) ? number_floor(id) : v;
}

const char *config_global(SIni ini, int id)
{
    return sini_getx(ini, id, nullptr, nullptr, 0);
}

int config_number(SIni ini, int id, const char *domain)
{
    return number_setting(id, sini_getx(ini, id, domain, nullptr, 0));
}

// Settings read only from the global section (the others are read per module).
static int global_only(int id)
{
    return id == I_LOGLEVEL || id == I_SET_ONCE || id == I_DEL_ONCE || id == I_LOG_ROTATIONS ||
           id == I_LOG_SIZE || id == I_SEARCH_LIMIT || id == I_SEARCH_TIMEOUT ||
           id == I_RETRY_AFTER || id == I_LOG_TO || (id >= I_CLIENTS && id <= I_MAX_CLIENTS);
}

// What the check of a configuration has found so far.
struct config_check {
    SIni ini;                                // the store being loaded
    const char *file;                        // its path, for the messages
    const char *dir;                         // where the modules run
    int to;                                  // CONFIG_TO_LOG, CONFIG_TO_STDERR
    ConfigVerdict *verdict;                  // its count of problems
    std::map<int, int> numbers;              // module number: line of its first module line
    std::map<std::string, int> module_lines; // domain name: line of its first module line
    std::map<std::string, int> binary_lines; // domain name ("" global): line of its binary
    std::map<int, int> global_lines;         // global setting: its line
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
    c->verdict->problems++;
    if (c->to & CONFIG_TO_STDERR) fprintf(stderr, "%s:%d: %s\n", c->file, line, bf);
    if (c->to & CONFIG_TO_LOG) emsg("%s:%d: %s", c->file, line, bf);
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
    case I_MAX_CLIENTS:
        if (!is_number(v))
            problem(c, line, "%s '%s' is not a number: taken as %d", name, v,
                    number_setting(id, v));
        else if (leading_int(v) < number_floor(id))
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
    case I_CLIENTS:
    case I_WRITERS: {
        PeerList list;
        std::string unknown;
        if (!peers_parse(v, &list, &unknown))
            problem(c, line, "%s: no such user or group: %s (left out)", name, unknown.c_str());
        break;
    }
    case I_USER: {
        long uid = peers_uid(v);
        if (uid < 0 || !getpwuid(static_cast<uid_t>(uid)))
            problem(c, line, "%s '%s': no such user", name, v);
        break;
    }
    case I_GROUP:
    case I_SOCKET_GROUP:
        if (peers_gid(v) < 0) problem(c, line, "%s '%s': no such group", name, v);
        break;
    }
}

// Whether the user modules run as may use what they and the log need.
static void check_access(config_check *c)
{
    RunAs r;
    std::string why;
    if (!runas_resolve(config_global(c->ini, I_USER), config_global(c->ini, I_GROUP), &r, &why))
        return; // said with its line already
    char state[PATH_BUF], logs[PATH_BUF], file[PATH_BUF];
    config_directory(c->ini, I_STATE_DIR, c->dir, state);
    config_directory(c->ini, I_LOG_DIR, c->dir, logs);
    exename(file, c->file, sizeof file);
    attach_ext(file, ".log", sizeof file);
    bool to_file = log_destination(config_global(c->ini, I_LOG_TO)) <= LOG_TO_FILE;
    std::vector<std::string> found;
    runas_check_access(r, state, sini_has(c->ini, I_STATE_DIR, nullptr), logs,
                       to_file ? file : nullptr, &found);
    if (config_global(c->ini, I_GROUP) && !config_global(c->ini, I_USER))
        problem(c, c->global_lines[I_GROUP], "group is used only with user: ignored");
    int line = c->global_lines.count(I_USER) ? c->global_lines[I_USER] : 0;
    for (const std::string &f : found) problem(c, line, "%s", f.c_str());
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
        int id = sini_id(c->ini, word);
        if (domain && global_only(id))
            problem(c, line, "%s is read only before the first module line: ignored here", word);
        else
            check_value(c, line, id, value);
        if (id == I_BINARY) c->binary_lines[domain ? domain : ""] = line;
        if (!domain) c->global_lines[id] = line;
    }
}

// Whether the program of each module's binary can be run: it is taken as
// execve takes it, relative to the configuration directory where modules
// run.
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
        if (!why) continue;
        lprintf(bf, sizeof bf, "Module%d cannot execute '%s': %s", number, program.c_str(), why);
        unstartable(c, line, bf);
    }
}

char *config_directory(SIni ini, int id, const char *dir, char *out)
{
    const char *value = config_global(ini, id);
    if (value && value[0] == '/')
        scpy(out, value, PATH_BUF);
    else if (value) {
        scpy(out, dir, PATH_BUF);
        attach_path(out, value, PATH_BUF);
    } else
        scpy(out, dir, PATH_BUF);
    return out;
}

SIni config_load(const char *source)
{
    SIni ini = sini_init(Settings);
    if (sini_load_lines(ini, source, "module", nullptr, nullptr)) return ini;
    int e = errno;
    sini_free(&ini);
    errno = e;
    return nullptr;
}

SIni config_judge(const char *path, const char *dir, int to, ConfigVerdict *verdict)
{
    return config_judge_from(path, path, dir, to, verdict);
}

SIni config_judge_from(const char *source, const char *path, const char *dir, int to,
                       ConfigVerdict *verdict)
{
    verdict->problems = 0;
    verdict->unstartable[0] = 0;
    config_check c;
    c.ini = sini_init(Settings);
    c.file = path;
    c.dir = dir;
    c.to = to;
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
    char state[PATH_BUF];
    c.dir = config_directory(c.ini, I_STATE_DIR, dir, state); // where the modules run
    check_binaries(&c);
    c.dir = dir;
    check_access(&c);
    return c.ini;
}

// One setting as it is in effect for the domain (null: the global
// section), in the file's own syntax: a value set in the section itself
// as its line, any other as a comment saying where it comes from.
static void print_setting(SIni ini, int id, const char *domain)
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
void config_print(SIni ini)
{
    printf("# The settings in effect; '#' lines show values not set in their section.\n");
    for (int id = 0; Settings[id].Name; id++)
        if (global_only(id)) print_setting(ini, id, nullptr);
    int n = sini_domains(ini);
    std::vector<int> order(n);
    for (int i = 0; i < n; i++) order[i] = n - 1 - i;
    std::stable_sort(order.begin(), order.end(), [ini](int a, int b) {
        return leading_int(sini_domain_name(ini, a)) < leading_int(sini_domain_name(ini, b));
    });
    for (int i = 0; i < n; i++) {
        const char *domain = sini_domain_name(ini, order[i]);
        printf("\n# Module%d, asked %d of %d\nmodule %s\n", leading_int(domain), i + 1, n, domain);
        for (int id = 0; Settings[id].Name; id++)
            if (!global_only(id) && id != I_SIG_HANDLER) print_setting(ini, id, domain);
    }
    fflush(stdout);
}
