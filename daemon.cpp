// Daemon: the supervisor, its workers and the per-client limits.
#include "daemon.h"

#include <algorithm>
#include <cerrno>
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

#include "adapters/askd.h"
#include "adt/lib.h"
#include "adt/log.h"
#include "adt/spawn.h"
#include "adt/wire.h"
#include "client.h"
#include "commands.h"
#include "config.h"

using namespace adt;

namespace
{

// The socket a worker accepts on.
const int LISTEN_FD = 3;
// Most workers, whatever `workers` says.
const int MAX_WORKERS = 256;
// A worker that ends sooner than this after its start makes the next start wait.
const int QUICK_END_MS = 5000;
const int BACKOFF_FIRST_MS = 1000, BACKOFF_MAX_MS = 60000;
// After SIGTERM: clients may finish for this long; then workers are told to
// end at once, and after the second delay they and their modules are killed.
const int FINISH_MS = 5000, KILL_MS = 10000;

// Set by the worker's signal handler: end after the client being served.
volatile sig_atomic_t WorkerStop = 0;

// A worker tells the supervisor that it serves (a queued signal, so that
// no worker's word is lost).
int ready_signal(void)
{
    return SIGRTMIN;
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

} // namespace

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

// --- Worker ---

namespace
{

void worker_signal(int sig)
{
    WorkerStop = 1;
    // SIGINT: the supervisor's second word, stop serving the client now.
    if (sig == SIGINT) client_stop = 1;
}

// Serves one connection with serve; the modules stay as they are.
void serve_connection(int fd, CommandHandler serve, int timeout_s, const char *writers)
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
    Session session = {};
    session.writer =
        cred.uid == 0 || cred.uid == geteuid() || names_peer(writers, cred.uid, cred.gid);
    session.connection = 1;
    session.uid = cred.uid;
    session.gid = cred.gid;
    session.pid = cred.pid;

    Client c;
    client_init(&c, fd, fd, timeout_s * 1000);
    c.WholeLines = 1; // a client cut off inside a request must not run its start
    ClientEnd why = command_loop(&c, &session, serve);
    if (why == END_IDLE) {
        imsg("Client pid %d idle for %d s, disconnected", static_cast<int>(cred.pid), timeout_s);
    } else if (why == END_STALLED) {
        imsg("Client pid %d left its replies unread for %d s, disconnected",
             static_cast<int>(cred.pid), timeout_s);
    }
}

} // namespace

int daemon_work(int supervisor, Tallis *auths, SIni config, CommandHandler serve)
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
    int timeout_s = number_or(config_global(config, I_CLIENT_TIMEOUT), 60);
    if (timeout_s < 1) timeout_s = 1;
    const char *writers = config_global(config, I_WRITERS);
    imsg("Worker ready");
    if (getppid() == supervisor) kill(supervisor, ready_signal()); // it may retire the old workers
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
        serve_connection(fd, serve, timeout_s, writers);
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
    struct timespec started;
    bool current; // of the running configuration; old ones are not replaced
    bool told;    // an old one told to finish its client and end
};

struct Supervisor {
    const char *listen;      // the socket's path
    const char *path;        // the configuration file
    const char *dir;         // where the modules run
    SIni config;             // the configuration in use: handed over, or accepted by a reload
    SIni reloaded = nullptr; // what a reload accepted (owned)
    int fd = -1;             // the listening socket
    bool activated = false;  // handed over by systemd: not ours to remove
    dev_t dev = 0;           // the socket file we bound, removed at the end
    ino_t ino = 0;
    int want = 1;               // workers of the running configuration
    struct timespec next_start; // no worker starts before this
    int backoff = 0;            // ms of wait after the last quick end
    std::vector<WorkerProc> procs;
    std::vector<std::string> args; // a worker's command line
    sigset_t old_mask;
};

// Takes the number of workers from the configuration in use.
void read_settings(Supervisor *s)
{
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    s->want = number_or(config_global(s->config, I_WORKERS), cpus > 0 ? (int)cpus : 1);
    if (s->want < 1) s->want = 1;
    if (s->want > MAX_WORKERS) s->want = MAX_WORKERS;
}

// The mode and group (-1: the daemon's own) the socket is made with.
void socket_access(const Supervisor *s, mode_t *mode, gid_t *gid)
{
    const char *text = config_global(s->config, I_SOCKET_MODE);
    char *end = nullptr;
    long m = text ? strtol(text, &end, 8) : 0600;
    if (!text || end == text || *end || m < 0 || m > 0777) {
        emsg("socket_mode %s is not an octal mode; 0600 is used", text ? text : "");
        m = 0600;
    }
    *mode = static_cast<mode_t>(m);
    *gid = static_cast<gid_t>(-1);
    if (const char *group = config_global(s->config, I_SOCKET_GROUP)) {
        struct group *g = getgrnam(group);
        char *rest = nullptr;
        long id = g ? g->gr_gid : strtol(group, &rest, 10);
        if (g || (rest != group && !*rest))
            *gid = static_cast<gid_t>(id);
        else
            emsg("Cannot give %s the group %s, no such group", s->listen, group);
    }
}

// In own, a directory just made for it, binds the socket as "s", gives it
// mode and group there, where no one else can reach it, and links it whole
// to s->listen (relative to the directory here): no link put at the path
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
        emsg("Cannot set the mode of %s, %s", s->listen, strerror(errno));
    if (bound && gid != static_cast<gid_t>(-1) && chown("s", static_cast<uid_t>(-1), gid) != 0)
        emsg("Cannot give %s the group %d, %s", s->listen, static_cast<int>(gid), strerror(errno));
    // A link never replaces: what came to the path meanwhile stays.
    bound = bound && lstat("s", &st) == 0 && linkat(AT_FDCWD, "s", here, s->listen, 0) == 0;
    int e = errno;
    unlink("s");
    if (fchdir(here) != 0) return 0;
    s->dev = st.st_dev;
    s->ino = st.st_ino;
    errno = e;
    return bound;
}

// Binds s->listen with its mode and group: a socket file left behind by
// a daemon that no longer answers is replaced; anything else there is not.
// 0 after the reason.
int bind_socket(Supervisor *s)
{
    struct sockaddr_un a;
    if (!socket_address(&a, s->listen)) {
        print_dead("cannot listen on %s: %s", s->listen, strerror(errno));
        return 0;
    }
    struct stat st;
    if (lstat(s->listen, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            print_dead("cannot listen on %s: it exists and is not a socket", s->listen);
            return 0;
        }
        struct timespec wait = askd_deadline(ASKD_TIMEOUT_MAX); // a busy daemon is one too
        int other = askd_connect(s->listen, &wait, nullptr, 0);
        if (other >= 0) {
            close(other);
            print_dead("cannot listen on %s: a daemon answers there", s->listen);
            return 0;
        }
        imsg("Replacing the stale socket %s", s->listen);
        unlink(s->listen);
    }
    // A directory of our own beside the path, on the same file system.
    std::string own = s->listen;
    size_t slash = own.rfind('/');
    own = (slash == std::string::npos ? "./" : own.substr(0, slash + 1)) + ".corvane-XXXXXX";
    mode_t mode;
    gid_t gid;
    socket_access(s, &mode, &gid);
    int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    s->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool made = here >= 0 && s->fd >= 0 && mkdtemp(own.data());
    int bound = made && bind_inside(s, own.c_str(), here, mode, gid);
    int e = errno;
    if (made) rmdir(own.c_str());
    if (here >= 0) close(here);
    if (!bound) {
        print_dead("cannot listen on %s: %s", s->listen, strerror(e));
        return 0;
    }
    return 1;
}

// The socket systemd hands over, when it hands one to this process.
int activated_socket(Supervisor *s)
{
    const char *pid = getenv("LISTEN_PID"), *fds = getenv("LISTEN_FDS");
    if (!pid || !fds || number_or(pid, -1) != static_cast<int>(getpid())) return 0;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    struct stat st;
    if (number_or(fds, 0) != 1 || fstat(LISTEN_FD, &st) != 0 || !S_ISSOCK(st.st_mode)) {
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
        s->next_start = spawn_deadline(BACKOFF_FIRST_MS);
        return;
    }
    setpgid(pid, pid);
    s->procs.push_back({pid, spawn_deadline(0), true, false});
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
            long long lived = spawn_elapsed(&w.started);
            if (WIFSIGNALED(status))
                emsg("Worker %d ended by signal %d", static_cast<int>(pid), WTERMSIG(status));
            else
                imsg("Worker %d ended with status %d", static_cast<int>(pid), WEXITSTATUS(status));
            if (lived < QUICK_END_MS) {
                s->backoff =
                    s->backoff ? std::min(s->backoff * 2, BACKOFF_MAX_MS) : BACKOFF_FIRST_MS;
                s->next_start = spawn_deadline(s->backoff);
                emsg("Worker %d ended %lld ms after its start; the next starts in %d s",
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

// Judges the configuration file again: a file with any problem is refused,
// its problems logged and written to standard error.
void reload(Supervisor *s)
{
    ConfigVerdict verdict;
    SIni config = config_judge(s->path, s->dir, CONFIG_TO_LOG | CONFIG_TO_STDERR, &verdict);
    if (!config) {
        amsg("Reload refused, the running workers stay: cannot load %s: %s", s->path,
             strerror(errno));
        return;
    }
    if (verdict.problems) {
        amsg("Reload refused, the running workers stay: %d problem(s) in %s", verdict.problems,
             s->path);
        sini_free(&config);
        return;
    }
    // The old workers serve on until a new one does: a configuration that
    // changes again before the new workers read it leaves the old ones.
    imsg("Reload: new workers start on the new configuration");
    for (WorkerProc &w : s->procs) w.current = false;
    sini_free(&s->reloaded);
    s->config = s->reloaded = config;
    read_settings(s); // the socket keeps the mode and group it was made with
    s->backoff = 0;
    s->next_start = spawn_deadline(0);
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
    bool stopping = false, told_now = false;
    struct timespec stop_at;
    for (;;) {
        reap(s, stopping);
        long long wait = 1000;
        if (stopping) {
            if (s->procs.empty()) return;
            if (!told_now && spawn_elapsed(&stop_at) >= FINISH_MS) {
                signal_all(s, SIGINT, false);
                told_now = true;
            }
            if (spawn_elapsed(&stop_at) >= KILL_MS) {
                signal_all(s, SIGKILL, true);
                wait = 100;
            }
        } else {
            while (current_workers(s) < s->want && spawn_left(&s->next_start) == 0) start_worker(s);
            if (current_workers(s) < s->want)
                wait = std::max(1LL, std::min(wait, spawn_left(&s->next_start)));
        }
        struct timespec ts = {static_cast<time_t>(wait / 1000), (wait % 1000) * 1000000L};
        siginfo_t info;
        int sig = sigtimedwait(&set, &info, &ts);
        if (sig == ready_signal() && !stopping) {
            retire_old(s, info.si_pid);
        } else if (sig == SIGHUP && !stopping) {
            reload(s);
        } else if ((sig == SIGTERM || sig == SIGINT) && !stopping) {
            imsg("Stopping: no new clients; the workers finish their client");
            stopping = true;
            stop_at = spawn_deadline(0);
            close(s->fd);
            s->fd = -1;
            signal_all(s, SIGTERM, false);
        }
    }
}

} // namespace

int daemon_supervise(const char *socket_path, const char *path, const char *dir, SIni config,
                     int argc, char **argv)
{
    Supervisor s;
    s.listen = socket_path;
    s.path = path;
    s.dir = dir;
    s.config = config;
    s.next_start = spawn_deadline(0);
    int activated = activated_socket(&s);
    if (activated < 0 || (!activated && !bind_socket(&s))) return 1;
    read_settings(&s);
    if (!activated && listen(s.fd, SOMAXCONN) != 0) {
        print_dead("cannot listen on %s: %s", s.listen, strerror(errno));
        unlink(s.listen);
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
    imsg("Listening on %s with %d workers", s.activated ? "the socket handed over" : s.listen,
         s.want);
    supervise(&s);
    struct stat st;
    if (!s.activated && lstat(s.listen, &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino)
        unlink(s.listen);
    imsg("Stopped");
    sigprocmask(SIG_SETMASK, &s.old_mask, nullptr);
    sini_free(&s.reloaded);
    return 0;
}
