// Daemon: the supervisor, its workers, the per-client limits and -connect.
#include "daemon.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "adt/lib.h"
#include "adt/log.h"
#include "adt/wire.h"
#include "client.h"
#include "corvane.h"

using namespace adt;

namespace
{

const char *ListenPath = nullptr;  // -listen
const char *ConnectPath = nullptr; // -connect
bool Worker = false;               // -worker PID: started by the supervisor PID
int SupervisorPid = -1;
bool Serving = false; // a worker is serving a client
bool Limited = false; // that client may only look up and check

// The socket a worker accepts on.
const int LISTEN_FD = 3;
// Most workers, whatever `workers` says.
const int MAX_WORKERS = 256;
// A worker that ends sooner than this after its start makes the next start wait.
const long QUICK_END_MS = 5000;
const long BACKOFF_FIRST_MS = 1000, BACKOFF_MAX_MS = 60000;
// After SIGTERM: clients may finish for this long; then workers are told to
// end at once, and after the second delay they and their modules are killed.
const long FINISH_MS = 5000, KILL_MS = 10000;

volatile sig_atomic_t WorkerStop = 0;

// A worker tells the supervisor that it serves (a queued signal, so that
// no worker's word is lost).
int ready_signal(void)
{
    return SIGRTMIN;
}

long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// The leading decimal number of text, or fallback when there is none.
int to_int(const char *text, int fallback)
{
    if (!text || !*text) return fallback;
    char *end;
    long v = strtol(text, &end, 10);
    return end == text || v < INT_MIN || v > INT_MAX ? fallback : static_cast<int>(v);
}

// Fills a with the socket address of path; 0 when the path does not fit.
int socket_address(struct sockaddr_un *a, const char *path)
{
    memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    if (!path || strlen(path) >= sizeof a->sun_path) {
        errno = ENAMETOOLONG;
        return 0;
    }
    strcpy(a->sun_path, path);
    return 1;
}

// A new descriptor connected to the socket at path, or -1 (errno says why).
int connect_to(const char *path)
{
    struct sockaddr_un a;
    if (!socket_address(&a, path)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0) return fd;
    int e = errno;
    close(fd);
    errno = e;
    return -1;
}

} // namespace

int daemon_option(int argc, char **argv, int *i, int *status)
{
    const char *arg = argv[*i];
    if (s_stricmp(arg, "-worker") == 0 && *i + 1 < argc) {
        Worker = true;
        SupervisorPid = to_int(argv[++*i], -1);
        return 1;
    }
    const char **slot = nullptr;
    const char *what = nullptr;
    if (s_stricmp(arg, "-listen") == 0) {
        slot = &ListenPath;
        what = "listen";
    } else if (s_stricmp(arg, "-connect") == 0) {
        slot = &ConnectPath;
        what = "connect";
    } else {
        return 0;
    }
    if (*i + 1 >= argc) {
        print_err("%s requires a parameter", what);
        *status = 1;
        return 1;
    }
    *slot = argv[++*i];
    return 1;
}

int daemon_connecting(void)
{
    return ConnectPath != nullptr;
}

int daemon_supervising(void)
{
    return ListenPath != nullptr && !Worker;
}

int daemon_working(void)
{
    return Worker;
}

// --- Per-client limits ---

namespace
{

// 1 when the comma- or blank-separated list names the user uid, one of its
// groups ("@group"), or its group gid.
int names_peer(const char *list, uid_t uid, gid_t gid)
{
    if (!list) return 0;
    struct passwd *pw = getpwuid(uid);
    std::string user = pw ? pw->pw_name : std::to_string(uid);
    gid_t primary = pw ? pw->pw_gid : gid;
    char copy[WIRE_BUF];
    char *entry[100];
    scpy(copy, list, sizeof copy);
    int n = ssplit(copy, ", ", entry, 100, 1);
    for (int i = 0; i < n; i++) {
        if (entry[i][0] != '@') {
            if (user == entry[i] || std::to_string(uid) == entry[i]) return 1;
            continue;
        }
        struct group *g = getgrnam(entry[i] + 1);
        if (!g) continue;
        if (g->gr_gid == gid || g->gr_gid == primary) return 1;
        for (char **m = g->gr_mem; m && *m; m++)
            if (user == *m) return 1;
    }
    return 0;
}

} // namespace

int daemon_gate(const char *word, int mode)
{
    if (!Serving) return 0;
    if (mode == MODE_QUIT) {
        // The connection ends; the modules stay for the next client.
        print_ok("bye");
        Mode = MODE_QUIT;
        return 1;
    }
    if (!Limited || (mode != MODE_SET && mode != MODE_DEL && mode != MODE_SEARCH)) return 0;
    char reply[WIRE_BUF];
    lprintf(reply, sizeof reply, "-ERR %s not allowed for this client", word);
    imsg("OUTPUT[%s]", reply);
    client_line(client_current(), "", reply);
    client_reply_done(client_current());
    return 1;
}

// --- Worker ---

namespace
{

void worker_signal(int sig)
{
    WorkerStop = 1;
    // SIGINT: the supervisor's second word, stop serving the client now.
    if (sig == SIGINT) client_stop = 1;
}

// Serves one connection; the modules stay as they are.
void serve_connection(int fd, int argc, char **argv, int timeout_s, const char *writers)
{
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        cred.pid = 0;
        cred.uid = static_cast<uid_t>(-1);
        cred.gid = static_cast<gid_t>(-1);
    }
    imsg("Client pid %d uid %d gid %d", static_cast<int>(cred.pid), static_cast<int>(cred.uid),
         static_cast<int>(cred.gid));
    Limited = !(cred.uid == 0 || cred.uid == geteuid() || names_peer(writers, cred.uid, cred.gid));

    Client c;
    client_init(&c, fd, fd, timeout_s * 1000);
    c.WholeLines = 1; // a client cut off inside a request must not run its start
    Mode = MODE_TERMINAL;
    Serving = true;
    ClientEnd why = client_serve(&c, argc, argv);
    if (why == END_INPUT) {
        print_ok("bye");
        client_flush(&c);
    } else if (why == END_IDLE) {
        imsg("Client pid %d idle for %d s, disconnected", static_cast<int>(cred.pid), timeout_s);
    } else if (why == END_STALLED) {
        imsg("Client pid %d left its replies unread for %d s, disconnected",
             static_cast<int>(cred.pid), timeout_s);
    }
    Serving = false;
    Mode = MODE_TERMINAL;
    client_use(nullptr);
}

} // namespace

int daemon_work(int argc, char **argv, Tallis *auths, SIni ini)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = worker_signal;
    sa.sa_flags = SA_RESTART; // poll still returns at a signal
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    struct stat st;
    if (fstat(LISTEN_FD, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        emsg("Worker: descriptor %d is not the daemon's socket", LISTEN_FD);
        return 1;
    }
    fcntl(LISTEN_FD, F_SETFD, FD_CLOEXEC);
    int timeout_s = to_int(sini_getx(ini, I_CLIENT_TIMEOUT, nullptr, nullptr, 0), 60);
    if (timeout_s < 1) timeout_s = 1;
    const char *writers = sini_getx(ini, I_WRITERS, nullptr, nullptr, 0);
    imsg("Worker ready");
    if (getppid() == SupervisorPid)
        kill(SupervisorPid, ready_signal()); // it may retire the old workers
    while (!WorkerStop) {
        if (tallis_given_up(auths) > 0) {
            emsg("Worker ends: a module was given up; a new worker starts it again");
            break;
        }
        struct pollfd p = {LISTEN_FD, POLLIN, 0};
        // A stop that came with a connection is seen before it is taken.
        if (poll(&p, 1, 1000) <= 0 || WorkerStop) continue;
        int fd = accept4(LISTEN_FD, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue; // another worker took it
        serve_connection(fd, argc, argv, timeout_s, writers);
        close(fd);
    }
    close(LISTEN_FD);
    return 0;
}

// --- Supervisor ---

namespace
{

struct WorkerProc {
    pid_t pid;
    long started;
    bool current; // of the running configuration; old ones are not replaced
    bool told;    // an old one told to finish its client and end
};

struct Supervisor {
    const char *dir;
    const char *name;
    char ini[1000];         // the configuration file
    int fd = -1;            // the listening socket
    bool activated = false; // handed over by systemd: not ours to remove
    dev_t dev = 0;          // the socket file we bound, removed at the end
    ino_t ino = 0;
    int want = 1;        // workers of the running configuration
    long next_start = 0; // no worker starts before this
    long backoff = 0;    // wait after the last quick end
    std::vector<WorkerProc> procs;
    std::vector<std::string> args; // a worker's command line
    sigset_t old_mask;
};

// Checks the configuration file as a start would: it loads, has modules,
// and every module has a binary that can be executed. 0 with the reason.
// (The configuration test of -t, when it is there, is the better judge.)
int config_sound(Supervisor *s, char *reason, int size)
{
    SIni c = sini_init(Settings);
    int ok = 0;
    if (!sini_load(c, s->ini, "module")) {
        lprintf(reason, size, "Failed to load '%s', %s", s->ini, strerror(errno));
    } else if (sini_domains(c) == 0) {
        lprintf(reason, size, "No modules defined");
    } else {
        ok = 1;
        for (int i = 0; ok && i < sini_domains(c); i++) {
            const char *domain = sini_domain_name(c, i);
            const char *binary = sini_getx(c, I_BINARY, domain, nullptr, 0);
            char program[1000] = "";
            if (binary) sscanf(binary, "%999s", program);
            std::string path = program[0] == '/' ? program : std::string(s->dir) + "/" + program;
            if (!program[0]) {
                lprintf(reason, size, "Module%d has no binary", to_int(domain, 0));
                ok = 0;
            } else if (access(path.c_str(), X_OK) != 0) {
                lprintf(reason, size, "cannot execute '%s': %s", program, strerror(errno));
                ok = 0;
            }
        }
    }
    sini_free(&c);
    return ok;
}

// Reads the number of workers from the configuration file (known sound).
void read_settings(Supervisor *s)
{
    SIni c = sini_init(Settings);
    sini_load(c, s->ini, "module");
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    s->want = to_int(sini_getx(c, I_WORKERS, nullptr, nullptr, 0), cpus > 0 ? (int)cpus : 1);
    if (s->want < 1) s->want = 1;
    if (s->want > MAX_WORKERS) s->want = MAX_WORKERS;
    sini_free(&c);
}

// The mode and group (-1: the daemon's own) the socket is made with.
void socket_access(const Supervisor *s, mode_t *mode, gid_t *gid)
{
    SIni c = sini_init(Settings);
    sini_load(c, s->ini, "module");
    const char *text = sini_getx(c, I_SOCKET_MODE, nullptr, nullptr, 0);
    char *end = nullptr;
    long m = text ? strtol(text, &end, 8) : 0600;
    if (!text || end == text || *end || m < 0 || m > 0777) {
        emsg("socket_mode %s is not an octal mode; 0600 is used", text ? text : "");
        m = 0600;
    }
    *mode = static_cast<mode_t>(m);
    *gid = static_cast<gid_t>(-1);
    if (const char *group = sini_getx(c, I_SOCKET_GROUP, nullptr, nullptr, 0)) {
        struct group *g = getgrnam(group);
        char *rest = nullptr;
        long id = g ? g->gr_gid : strtol(group, &rest, 10);
        if (g || (rest != group && !*rest))
            *gid = static_cast<gid_t>(id);
        else
            emsg("Cannot give %s the group %s, no such group", ListenPath, group);
    }
    sini_free(&c);
}

// In own, a directory just made for it, binds the socket as "s", gives it
// mode and group there, where no one else can reach it, and links it whole
// to ListenPath (relative to the directory here): no link put at the path
// can catch the mode or group. 0 with errno set.
int bind_inside(Supervisor *s, const char *own, int here, mode_t mode, gid_t gid)
{
    int d = open(own, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    // What is entered must still be ours alone.
    bool mine = d >= 0 && fstat(d, &st) == 0 && st.st_uid == geteuid() && !(st.st_mode & 077);
    if (!mine || fchdir(d) != 0) {
        if (d >= 0) close(d);
        errno = mine ? errno : EPERM;
        return 0;
    }
    close(d);
    struct sockaddr_un a;
    socket_address(&a, "s");
    mode_t mask = umask(0177);
    int bound = bind(s->fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0;
    umask(mask);
    if (bound && chmod("s", mode) != 0)
        emsg("Cannot set the mode of %s, %s", ListenPath, strerror(errno));
    if (bound && gid != static_cast<gid_t>(-1) && chown("s", static_cast<uid_t>(-1), gid) != 0)
        emsg("Cannot give %s the group %d, %s", ListenPath, static_cast<int>(gid), strerror(errno));
    // A link never replaces: what came to the path meanwhile stays.
    bound = bound && lstat("s", &st) == 0 && linkat(AT_FDCWD, "s", here, ListenPath, 0) == 0;
    int e = errno;
    unlink("s");
    if (fchdir(here) != 0) return 0;
    s->dev = st.st_dev;
    s->ino = st.st_ino;
    errno = e;
    return bound;
}

// Binds ListenPath with its mode and group: a socket file left behind by
// a daemon that no longer answers is replaced; anything else there is not.
// 0 after the reason.
int bind_socket(Supervisor *s)
{
    struct sockaddr_un a;
    if (!socket_address(&a, ListenPath)) {
        print_dead("cannot listen on %s: %s", ListenPath, strerror(errno));
        return 0;
    }
    struct stat st;
    if (lstat(ListenPath, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            print_dead("cannot listen on %s: it exists and is not a socket", ListenPath);
            return 0;
        }
        int other = connect_to(ListenPath);
        if (other >= 0) {
            close(other);
            print_dead("cannot listen on %s: a daemon answers there", ListenPath);
            return 0;
        }
        imsg("Replacing the stale socket %s", ListenPath);
        unlink(ListenPath);
    }
    // A directory of our own beside the path, on the same file system.
    std::string own = ListenPath;
    size_t slash = own.rfind('/');
    own = (slash == std::string::npos ? "./" : own.substr(0, slash + 1)) + ".corvane-XXXXXX";
    mode_t mode;
    gid_t gid;
    socket_access(s, &mode, &gid); // the configuration's path may be relative to here
    int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    s->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool made = here >= 0 && s->fd >= 0 && mkdtemp(own.data());
    int bound = made && bind_inside(s, own.c_str(), here, mode, gid);
    int e = errno;
    if (made) rmdir(own.c_str());
    if (here >= 0) close(here);
    if (!bound) {
        print_dead("cannot listen on %s: %s", ListenPath, strerror(e));
        return 0;
    }
    return 1;
}

// The socket systemd hands over, when it hands one to this process.
int activated_socket(Supervisor *s)
{
    const char *pid = getenv("LISTEN_PID"), *fds = getenv("LISTEN_FDS");
    if (!pid || !fds || to_int(pid, -1) != static_cast<int>(getpid())) return 0;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    struct stat st;
    if (to_int(fds, 0) != 1 || fstat(LISTEN_FD, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        print_dead("socket activation: expected one socket on descriptor %d", LISTEN_FD);
        return -1;
    }
    s->fd = LISTEN_FD;
    s->activated = true;
    fcntl(s->fd, F_SETFD, FD_CLOEXEC);
    return 1;
}

void start_worker(Supervisor *s)
{
    std::vector<char *> argv;
    for (std::string &a : s->args) argv.push_back(a.data());
    argv.push_back(nullptr);
    log_flush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // the worker and its modules, to be killed together
        sigprocmask(SIG_SETMASK, &s->old_mask, nullptr);
        signal(SIGHUP, SIG_IGN);
        int null = open("/dev/null", O_RDONLY);
        if (null > 0) dup2(null, STDIN_FILENO);
        if (s->fd == LISTEN_FD)
            fcntl(LISTEN_FD, F_SETFD, 0);
        else
            dup2(s->fd, LISTEN_FD);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    if (pid < 0) {
        emsg("Cannot start a worker, %s", strerror(errno));
        s->next_start = now_ms() + BACKOFF_FIRST_MS;
        return;
    }
    setpgid(pid, pid);
    s->procs.push_back({pid, now_ms(), true, false});
    imsg("Worker %d started", static_cast<int>(pid));
}

// Reaps ended workers; a current one is replaced, later when it ended soon
// after its start.
void reap(Supervisor *s, bool stopping)
{
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (size_t i = 0; i < s->procs.size(); i++) {
            if (s->procs[i].pid != pid) continue;
            WorkerProc w = s->procs[i];
            s->procs.erase(s->procs.begin() + static_cast<long>(i));
            // A worker that was killed leaves its modules: they go with it.
            kill(-pid, SIGKILL);
            if (stopping || !w.current) break;
            long lived = now_ms() - w.started;
            if (WIFSIGNALED(status))
                emsg("Worker %d ended by signal %d", static_cast<int>(pid), WTERMSIG(status));
            else
                imsg("Worker %d ended with status %d", static_cast<int>(pid), WEXITSTATUS(status));
            if (lived < QUICK_END_MS) {
                s->backoff =
                    s->backoff ? std::min(s->backoff * 2, BACKOFF_MAX_MS) : BACKOFF_FIRST_MS;
                s->next_start = now_ms() + s->backoff;
                emsg("Worker %d ended %ld ms after its start; the next starts in %ld s",
                     static_cast<int>(pid), lived, s->backoff / 1000);
            } else {
                s->backoff = 0;
            }
            break;
        }
    }
}

int current_workers(const Supervisor *s)
{
    int n = 0;
    for (const WorkerProc &w : s->procs) n += w.current;
    return n;
}

void signal_all(Supervisor *s, int sig, bool group)
{
    for (const WorkerProc &w : s->procs) kill(group ? -w.pid : w.pid, sig);
}

void reload(Supervisor *s)
{
    // The configuration test's own checks: a file it would fault is refused.
    if (int problems = config_problems(s->ini)) {
        amsg("Reload refused, the running workers stay: %d problem(s) in %s, logged above",
             problems, s->ini);
        return;
    }
    // The old workers serve on until a new one does: a configuration that
    // changes again before the new workers read it leaves the old ones.
    imsg("Reload: new workers start on the new configuration");
    for (WorkerProc &w : s->procs) w.current = false;
    read_settings(s); // the socket keeps the mode and group it was made with
    s->backoff = 0;
    s->next_start = 0;
}

// A new worker serves: the old ones finish their client and end.
void retire_old(Supervisor *s, pid_t ready)
{
    bool known = false, told = false;
    for (const WorkerProc &w : s->procs) known |= w.pid == ready && w.current;
    for (WorkerProc &w : s->procs)
        if (known && !w.current && !w.told) {
            kill(w.pid, SIGTERM);
            w.told = told = true;
        }
    if (told) imsg("Reloaded: the new workers serve, the old ones finish their client and end");
}

// Runs until SIGTERM or SIGINT, then until every worker ended.
void supervise(Supervisor *s)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGHUP, SIGTERM, SIGINT, ready_signal()}) sigaddset(&set, sig);
    long stop_at = -1;
    bool told_now = false;
    for (;;) {
        reap(s, stop_at >= 0);
        long now = now_ms(), wait = 1000;
        if (stop_at >= 0) {
            if (s->procs.empty()) return;
            if (!told_now && now - stop_at >= FINISH_MS) {
                signal_all(s, SIGINT, false);
                told_now = true;
            }
            if (now - stop_at >= KILL_MS) {
                signal_all(s, SIGKILL, true);
                wait = 100;
            }
        } else {
            while (current_workers(s) < s->want && now >= s->next_start) start_worker(s);
            if (current_workers(s) < s->want)
                wait = std::max(1L, std::min(wait, s->next_start - now));
        }
        struct timespec ts = {wait / 1000, (wait % 1000) * 1000000};
        siginfo_t info;
        int sig = sigtimedwait(&set, &info, &ts);
        if (sig == ready_signal() && stop_at < 0) {
            retire_old(s, info.si_pid);
        } else if (sig == SIGHUP && stop_at < 0) {
            reload(s);
        } else if ((sig == SIGTERM || sig == SIGINT) && stop_at < 0) {
            imsg("Stopping: no new clients; the workers finish their client");
            stop_at = now_ms();
            close(s->fd);
            s->fd = -1;
            signal_all(s, SIGTERM, false);
        }
    }
}

} // namespace

int daemon_supervise(int argc, char **argv, const char *dir, const char *name)
{
    Supervisor s;
    s.dir = dir;
    s.name = name;
    scpy(s.ini, dir, sizeof s.ini);
    attach_path(s.ini, name, sizeof s.ini);
    attach_ext(s.ini, ".ini", sizeof s.ini);
    char reason[1000];
    if (!config_sound(&s, reason, sizeof reason)) {
        print_dead("%s", reason);
        return 1;
    }
    int activated = activated_socket(&s);
    if (activated < 0 || (!activated && !bind_socket(&s))) return 1;
    read_settings(&s);
    if (!activated && listen(s.fd, SOMAXCONN) != 0) {
        print_dead("cannot listen on %s: %s", ListenPath, strerror(errno));
        unlink(ListenPath);
        return 1;
    }
    fcntl(s.fd, F_SETFL, fcntl(s.fd, F_GETFL) | O_NONBLOCK); // workers poll, then accept
    for (int i = 0; i < argc; i++) s.args.push_back(argv[i]);
    s.args.push_back("-worker");
    s.args.push_back(std::to_string(getpid()));

    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGHUP, SIGTERM, SIGINT, ready_signal()}) sigaddset(&set, sig);
    signal(SIGHUP, SIG_DFL); // an ignored signal would not even be queued
    sigprocmask(SIG_BLOCK, &set, &s.old_mask);
    imsg("Listening on %s with %d workers", s.activated ? "the socket handed over" : ListenPath,
         s.want);
    supervise(&s);
    struct stat st;
    if (!s.activated && lstat(ListenPath, &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino)
        unlink(ListenPath);
    imsg("Stopped");
    sigprocmask(SIG_SETMASK, &s.old_mask, nullptr);
    return 0;
}

// --- Client of a daemon ---

namespace
{

// The command of the command line as one request line: the first command
// option without its dash and every argument after it, or "quit".
std::string command_of(int argc, char **argv)
{
    static const char *const options[] = {"-lookup", "-check", "-set", "-del", "-search"};
    for (int i = 1; i < argc; i++)
        for (const char *opt : options) {
            if (s_stricmp(argv[i], opt) != 0) continue;
            std::string line = opt + 1;
            for (int j = i + 1; j < argc; j++) line += std::string(" ") + argv[j];
            return line + "\n";
        }
    return "quit\n";
}

// Copies standard input to the daemon and its replies to standard output
// until the daemon ends the connection.
int relay(int fd)
{
    struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {fd, POLLIN, 0}};
    char bf[65536], last = '\n';
    for (;;) {
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (p[1].revents) {
            ssize_t n = read(fd, bf, sizeof bf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 0;
            if (!write_all(STDOUT_FILENO, bf, static_cast<size_t>(n))) return 1;
        }
        if (p[0].fd >= 0 && p[0].revents) {
            ssize_t n = read(STDIN_FILENO, bf, sizeof bf);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0 && write_all(fd, bf, static_cast<size_t>(n))) {
                last = bf[n - 1];
                continue;
            }
            // The daemon runs only ended lines: a last line is ended here, as
            // Corvane on standard input would run it.
            if (n == 0 && last != '\n') write_all(fd, "\n", 1);
            shutdown(fd, SHUT_WR); // the daemon answers the end of input with "+OK bye"
            p[0].fd = -1;
        }
    }
}

// Writes the daemon's replies to one command to standard output: its data
// lines and its final line. 1 when the final line came.
int one_reply(int fd)
{
    std::string got;
    char bf[4096];
    for (;;) {
        size_t start = 0, lf;
        while ((lf = got.find('\n', start)) != std::string::npos) {
            bool data = got.compare(start, 6, "+DATA ") == 0;
            start = lf + 1;
            if (!data) return write_all(STDOUT_FILENO, got.data(), start);
        }
        ssize_t n = read(fd, bf, sizeof bf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            write_all(STDOUT_FILENO, got.data(), got.size());
            return 0;
        }
        got.append(bf, static_cast<size_t>(n));
    }
}

} // namespace

int daemon_connect(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    int status = process_args(argc, argv, 1);
    if (status) return status;
    int fd = connect_to(ConnectPath);
    if (fd < 0) {
        print_dead("cannot connect to %s: %s", ConnectPath, strerror(errno));
        return 1;
    }
    if (Mode == MODE_TERMINAL) {
        status = relay(fd);
    } else {
        std::string line = command_of(argc, argv);
        status = write_all(fd, line.data(), line.size()) && one_reply(fd) ? 0 : 1;
    }
    close(fd);
    return status;
}
