// Corvane, the authentication multiplexer: start-up and the command-line
// options, composing the rooms of the front end (corvane.h).
#include "corvane.h"

#include "adapters/ask.h"
#include "adapters/connect.h"
#include "adt/lib.h"
#include "adt/log.h"
#include "client.h"
#include "config.h"
#include "daemon.h"
#include "gate.h"
#include "passwd.h"
#include "privilege.h"
#include "protect.h"
#include "shm.h"
#include "snapshot.h"
#include "worker.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

using namespace adt;

namespace
{

// The front end's state for the whole run.
struct FrontEnd {
    int test_only = 0;              // -t: test the configuration, start nothing
    int finished = -1;              // the exit status when an option did all there was to do
    char name[PATH_BUF] = "";       // invocation name without directory and extension
    char dir[PATH_BUF] = "";        // -path, else the current working directory
    char log_dir[PATH_BUF] = "";    // log_dir, else dir; a worker's: its supervisor's
    char state_dir[PATH_BUF] = "";  // state_dir, else dir: where modules run
    LogLevel level = LogError;      // LogDebug after -debug
    const char *listen = nullptr;   // -listen [PATH]
    const char *connect = nullptr;  // -connect [PATH]
    int timeout = ASK_TIMEOUT;      // -timeout MS: the time -connect gives the daemon
    const char *passwd = nullptr;   // -passwd NAME: the user whose password is set
    bool worker = false;            // -worker PID LOGDIR: a worker of the daemon
    int supervisor = -1;            // that PID
    Log *log = nullptr;             // the program's log
    SIni ini = nullptr;             // the loaded configuration
    Tallis *auths = nullptr;        // the module table
    CorvaneData *records = nullptr; // one record per module domain
    Client stdio;                   // the caller on standard input and output
    Shm *shm = nullptr;             // the counts and answers: the daemon's, or our own
} F;

// The caller on standard input and output may do everything, and its quit
// ends the run.
const Session Local = {1, 0, static_cast<uid_t>(-1), static_cast<gid_t>(-1), -1, nullptr};

// --- Options ---

int option_version(int, char **, int)
{
    print_ok("Corvane %s", corvane_version);
    return 1;
}

int option_debug(int, char **, int)
{
    F.level = LogDebug;
    return 0;
}

int option_path(int, char **argv, int at)
{
    scpy(F.dir, argv[at + 1], PATH_BUF);
    return 0;
}

int option_test(int, char **, int)
{
    F.test_only = 1;
    return 0;
}

// The socket of -listen [PATH] and -connect [PATH]: the word after the
// option unless it is an option itself, else the daemon's default socket.
const char *socket_word(int argc, char **argv, int at)
{
    return at + 1 < argc && argv[at + 1][0] != '-' ? argv[at + 1] : CORVANE_SOCKET;
}

int option_listen(int argc, char **argv, int at)
{
    F.listen = socket_word(argc, argv, at);
    return 0;
}

int option_connect(int argc, char **argv, int at)
{
    F.connect = socket_word(argc, argv, at);
    return 0;
}

int option_timeout(int, char **argv, int at)
{
    if (askd_timeout_value(argv[at + 1], &F.timeout)) return 0;
    print_err("bad time-out %s: milliseconds from 1 to %d", argv[at + 1], ASKD_TIMEOUT_MAX);
    return 1;
}

int option_passwd(int, char **argv, int at)
{
    F.passwd = argv[at + 1];
    return 0;
}

// Started by the supervisor whose process id follows, logging where it does.
int option_worker(int, char **argv, int at)
{
    F.worker = true;
    F.supervisor = number_or(argv[at + 1], -1);
    scpy(F.log_dir, argv[at + 2], PATH_BUF);
    return 0;
}

int option_help(int, char **, int);

// An option before the command: its name, the arguments it takes and what
// it does with them.
struct option_row {
    const char *name;     // any letter case
    int args;             // arguments it takes
    const char *synopsis; // its arguments, for the usage
    // 0 to go on, otherwise the exit status (the reason already written).
    int (*run)(int argc, char **argv, int at);
    const char *about; // its line in the usage; null: not listed there
};

const option_row Options[] = {
    {"-path", 1, "DIR", option_path,
     "the directory of the configuration and the log (default: the current one)"},
    {"-debug", 0, "", option_debug, "log everything, whatever loglevel says"},
    {"-t", 0, "", option_test,
     "test the configuration, ask each module to check itself, print the settings"},
    {"-version", 0, "", option_version, "print the version (exit status 1)"},
    {"-listen", 0, "[PATH]", option_listen,
     "serve clients on a Unix socket at PATH (the daemon), by default " CORVANE_SOCKET},
    {"-connect", 0, "[PATH]", option_connect, "ask the daemon at PATH, by default " CORVANE_SOCKET},
    {"-timeout", 1, "MS", option_timeout,
     "with -connect: ms the daemon has to answer (default 30000)"},
    {"-passwd", 1, "NAME", option_passwd,
     "set NAME's password, read from standard input (twice on a terminal)"},
    {"-worker", 2, "PID LOGDIR", option_worker, nullptr},
    {"-h", 0, "", option_help, "print this text (also -help, --help)"},
    {"-help", 0, "", option_help, nullptr},
    {"--help", 0, "", option_help, nullptr},
};

const option_row *find_option(const char *arg)
{
    for (const option_row &o : Options)
        if (s_stricmp(arg, o.name) == 0) return &o;
    return nullptr;
}

// The usage, from the tables, to standard output.
int option_help(int argc, char **argv, int)
{
    exename(F.name, argc > 0 ? argv[0] : nullptr, PATH_BUF);
    printf("usage: %s [OPTION ...] [COMMAND-OPTION WORD ...]\n", F.name);
    for (const option_row &o : Options) {
        char name[40];
        lprintf(name, sizeof name, "%s%s%s", o.name, *o.synopsis ? " " : "", o.synopsis);
        if (o.about) printf("  %-10s %s\n", name, o.about);
    }
    printf("The first command option ends the options: every argument after it is a word\n"
           "of that command, whatever it looks like.\n");
    command_options_usage(stdout);
    printf("Without one, commands are read from standard input, one per line (\"help\"\n"
           "lists them). The configuration is %s.ini and the log %s.log, both in the\n"
           "-path directory, else in the current directory (the daemon: " CORVANE_CONFDIR ").\n",
           F.name, F.name);
    fflush(stdout);
    F.finished = 0;
    return 0;
}

// Index in argv of the first command option, or argc when there is none.
// The arguments of an option before it are skipped, so "-path -check"
// names a directory. Every argument after the command option is a word of
// that command, whatever it looks like: a user name "-quit" must not end
// the run, nor a password "-path" choose the configuration.
int first_command(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (command_option(argv[i])) return i;
        if (const option_row *o = find_option(argv[i])) i += o->args;
    }
    return argc;
}

// Stage 0: the options before the command option, in order; other
// arguments there are ignored.
int process_options(int argc, char **argv)
{
    int end = first_command(argc, argv);
    for (int i = 1; i < end; i++) {
        const option_row *o = find_option(argv[i]);
        if (!o) continue;
        if (argc - 1 - i < o->args) {
            print_err("%s requires a parameter", o->name + 1);
            return 1;
        }
        int status = o->run(argc, argv, i);
        if (status || F.finished >= 0) return status;
        i += o->args;
    }
    return 0;
}

// --- Start-up ---

// -t: every problem of the configuration on standard error with its file
// and line, each module's own check of itself among them, then the
// settings in effect. Serves nothing and opens no log. 1 when there was a
// problem, else 0.
int test_config(const char *path)
{
    ConfigVerdict verdict;
    SIni ini = config_judge(path, F.dir, CONFIG_TO_STDERR | CONFIG_ASK_MODULES, &verdict);
    if (!ini) {
        fprintf(stderr, "%s: cannot be loaded: %s\n", path, strerror(errno));
        return 1;
    }
    config_print(ini, &verdict);
    sini_free(&ini);
    return verdict.problems > 0;
}

// Opens the log (once) where log_to sends it (its file in the log
// directory, named after the program), flushed at every line.
void open_log(void)
{
    if (F.log) return;
    char file[PATH_BUF];
    scpy(file, F.name, PATH_BUF);
    attach_ext(file, ".log", PATH_BUF);
    F.log = log_init(F.level);
    log_to(F.log, config_global(F.ini, I_LOG_TO)); // first: the problems held back go there
    log_setup(F.log, F.log_dir[0] ? F.log_dir : F.dir, file);
    log_doflush(F.log, 1);
    log_set(F.log);
}

// Opens the log before Corvane has become the user it runs as, unless it
// is to become another: a log file root made would not be that user's.
void open_log_early(const RunAs &as)
{
    if (!as.change && !(geteuid() == 0 && config_global(F.ini, I_USER))) open_log();
}

// Takes the log level and rotation from the configuration; a value below
// its least is raised to it, and said so.
void configure_log(void)
{
    if (F.level != LogDebug) log_set_level_name(F.log, config_global(F.ini, I_LOGLEVEL));
    bool raised;
    int rotations = config_number(F.ini, I_LOG_ROTATIONS, nullptr, &raised);
    if (raised) emsg("log_rotations MUST be >= 0");
    int size = config_number(F.ini, I_LOG_SIZE, nullptr, &raised);
    if (raised) emsg("log_size MUST be >= 1024");
    log_dorotate(F.log, rotations, static_cast<size_t>(size));
}

// Starts one module per domain, in file order; the table orders them by the
// number their domain name starts with. 0 after writing the reason.
int start_modules(int n)
{
    F.auths = tallis_init(n);
    tallis_setup(F.auths, cblookup, cbcheck, cbset, cbdel, cbsearch);
    tallis_set_once(F.auths, istrue(config_global(F.ini, I_SET_ONCE)));
    tallis_del_once(F.auths, istrue(config_global(F.ini, I_DEL_ONCE)));
    // Modules run in the state directory (the configuration's, unless set),
    // so the relative store paths of a configuration mean the same from any
    // current directory.
    tallis_workdir(F.auths, F.state_dir);
    tallis_search_limit(F.auths, config_number(F.ini, I_SEARCH_LIMIT, nullptr));
    tallis_search_timeout(F.auths, config_number(F.ini, I_SEARCH_TIMEOUT, nullptr));
    tallis_retry_after(F.auths, config_number(F.ini, I_RETRY_AFTER, nullptr));
    tallis_observe(F.auths, protect_observe);
    commands_use(F.auths);
    F.records = static_cast<CorvaneData *>(calloc(n, sizeof(CorvaneData)));
    for (int i = 0; i < n; i++) {
        char errmsg[WIRE_BUF] = "";
        CorvaneData *r = &F.records[i];
        r->domain = sini_domain_name(F.ini, i);
        r->ini = F.ini;
        const char *binary = sini_getx(F.ini, I_BINARY, r->domain, nullptr, 0);
        int timeout = config_number(F.ini, I_TIMEOUT, r->domain);
        if (!tallis_add(F.auths, binary, leading_int(r->domain), timeout, r, errmsg, WIRE_BUF)) {
            print_dead("%s", errmsg);
            return 0;
        }
    }
    return 1;
}

// The modules, then the password change, the command of the command line
// or the command loop on standard input.
int serve_here(int argc, char **argv, int failed)
{
    int n = sini_domains(F.ini);
    if (n == 0) {
        print_dead("No modules defined");
        return failed;
    }
    if (!start_modules(n)) return failed;
    // Counts and answers of our own, which end with this process.
    SharedSettings set;
    protect_settings(F.ini, 0, &set);
    char why[WIRE_BUF];
    F.shm = protect_region(&set, why, sizeof why);
    if (!F.shm) emsg("Nothing is throttled, cached or counted: %s", why);
    protect_use(F.shm, &set);
    int status = process_args(argc, argv, 1);
    if (status) return status;
    if (F.passwd) return passwd_set(F.passwd, &Local, process_command);
    if (Mode != MODE_TERMINAL) {
        int at = first_command(argc, argv);
        command_once(&Local, argc - at, argv + at);
    } else {
        client_init(&F.stdio, STDIN_FILENO, STDOUT_FILENO, -1);
        command_loop(&F.stdio, &Local, process_command);
    }
    return 0;
}

// A worker of the daemon: the configuration its supervisor accepted, the
// supervisor's log directory, its modules, then the requests it is handed.
int work(void)
{
    if (!worker_attach(F.supervisor)) return 1;
    char source[64];
    F.ini = config_load(snapshot_path(WORKER_CONFIG, source));
    int load_error = errno;
    close(WORKER_CONFIG);
    open_log();
    if (!F.ini) {
        print_dead("Failed to load the configuration handed over, %s", strerror(load_error));
        return 1;
    }
    configure_log();
    char why[WIRE_BUF];
    F.shm = shm_attach(SHM_FD, why, sizeof why);
    if (!F.shm) {
        print_dead("Cannot use the memory the workers share: %s", why);
        return 1;
    }
    SharedSettings set;
    protect_settings(F.ini, 1, &set);
    protect_use(F.shm, &set);
    config_directory(F.ini, I_STATE_DIR, F.dir, F.state_dir);
    int n = sini_domains(F.ini);
    if (n == 0 || !start_modules(n)) return 1;
    return worker_serve(process_command);
}

} // namespace

int process_args(int argc, char **argv, int stage)
{
    if (stage == 0) return process_options(argc, argv);
    int at = first_command(argc, argv);
    return at < argc ? command_line_mode(argc - at, argv + at) : 0;
}

void cleanup(void)
{
    commands_use(nullptr);
    protect_use(nullptr, nullptr);
    shm_free(&F.shm);
    free(F.records);
    F.records = nullptr;
    tallis_free(&F.auths);
    sini_free(&F.ini);
    log_free(&F.log);
}

int corvane_main(int argc, char **argv)
{
    F = FrontEnd();
    int status = process_args(argc, argv, 0);
    if (status || F.finished >= 0) return status;
    if (F.passwd && (status = passwd_read(F.passwd)) != 0) return status;
    if (F.connect) { // a client of the daemon only
        if (F.passwd) return passwd_connect(F.passwd, F.connect, F.timeout);
        int at = first_command(argc, argv);
        status = process_args(argc, argv, 1);
        return status ? status : connect_run(F.connect, F.timeout, argc - at, argv + at);
    }
    sig_init(nullptr);
    atexit(cleanup);
    exename(F.name, argc > 0 ? argv[0] : nullptr, PATH_BUF);
    if (!F.dir[0] && F.listen) scpy(F.dir, CORVANE_CONFDIR, PATH_BUF); // the daemon's own
    if (!F.dir[0]) currentdir(F.dir, PATH_BUF);
    char path[PATH_BUF];
    scpy(path, F.dir, PATH_BUF);
    attach_path(path, F.name, PATH_BUF);
    attach_ext(path, ".ini", PATH_BUF);
    if (F.test_only) return test_config(path);

    if (F.worker) return work();

    // A start that fails leaves a password change undone for now: to its
    // caller a temporary failure.
    const int failed = F.passwd ? ASK_TEMPFAIL : 1;
    // The log opens once the configuration says where it goes and Corvane
    // is the user it runs as; the problems found meanwhile are held back
    // for it. The daemon judges the bytes its workers will be handed.
    DaemonStart d = {F.listen, path, F.dir, F.log_dir, nullptr, -1, argc, argv, Listener()};
    char source[64];
    d.snapshot = F.listen ? snapshot_take(path) : -1;
    ConfigVerdict verdict;
    if (!F.listen || d.snapshot >= 0)
        F.ini = config_judge_from(d.snapshot >= 0 ? snapshot_path(d.snapshot, source) : path, path,
                                  F.dir, CONFIG_TO_LOG, &verdict);
    int load_error = errno;
    RunAs as;
    std::string why = "Failed to load '" + std::string(path) + "', " + strerror(load_error);
    if (F.ini) {
        config_directory(F.ini, I_LOG_DIR, F.dir, F.log_dir);
        config_directory(F.ini, I_STATE_DIR, F.dir, F.state_dir);
    }
    if (!F.ini ||
        !runas_resolve(config_global(F.ini, I_USER), config_global(F.ini, I_GROUP), &as, &why)) {
        open_log_early(as);
        print_dead("%s", why.c_str());
        return failed;
    }
    if (F.listen) { // the supervisor starts no module of its own
        d.config = F.ini;
        if (verdict.unstartable[0]) {
            open_log_early(as);
            print_dead("%s", verdict.unstartable);
            return 1;
        }
        if (!daemon_prepare(&d)) {
            open_log_early(as);
            return 1;
        }
    }
    if (!runas_become(as, &why)) {
        print_dead("%s", why.c_str());
        return failed;
    }
    open_log();
    configure_log();
    imsg("**Corvane %s**", corvane_version);
    return F.listen ? daemon_supervise(&d) : serve_here(argc, argv, failed);
}
