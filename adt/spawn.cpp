// Spawn: starting, stopping and talking to child processes over two pipes.
#include "adt/spawn.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "adt/lib.h"
#include "adt/log.h"
#include "adt/wire.h"

namespace adt
{

enum {
    ENV_SLOTS = 40,   // environment slots of a new record
    MAX_ARGS = 100,   // argument vector of a start
    POLL_STEP = 100,  // ms of one step of stopping a child
    KILL_RETRIES = 5, // steps a stopped child is given to end
    END_STEP = 5,     // ms between looks at a child that may be ending
};

pSpawn spawn_init(int uid, int gid)
{
    pSpawn x = static_cast<pSpawn>(calloc(1, sizeof(Spawn)));
    if (!x) return nullptr;
    x->env = static_cast<char **>(calloc(ENV_SLOTS, sizeof(char *)));
    if (!x->env) {
        free(x);
        return nullptr;
    }
    x->envsz = ENV_SLOTS;
    x->uid = uid;
    x->gid = gid;
    signal(SIGPIPE, SIG_IGN);
    return x;
}

void spawn_clrenv(pSpawn x)
{
    if (!x || !x->env) return;
    for (int i = 0; i < x->envi; i++) {
        free(x->env[i]);
        x->env[i] = nullptr;
    }
    x->envi = 0;
}

void spawn_copy_env(pSpawn x, const char *const *env)
{
    if (!x || !x->env) return;
    spawn_clrenv(x);
    int n = 0;
    while (env && env[n]) n++;

    // Grow by half the capacity at the start of the call: 40, 60, 80, ...
    int step = x->envsz / 2 > 0 ? x->envsz / 2 : 1;
    int size = x->envsz;
    while (size < n + 1) size += step;
    if (size > x->envsz) {
        char **grown = static_cast<char **>(realloc(x->env, size * sizeof(char *)));
        if (grown) {
            for (int i = x->envsz; i < size; i++) grown[i] = nullptr;
            x->env = grown;
            x->envsz = size;
        }
    }
    // Without the memory to grow, the child gets the entries that fit.
    for (int i = 0; i < n && x->envi < x->envsz - 1; i++) {
        char *copy = s_strdup(env[i]);
        if (copy) x->env[x->envi++] = copy;
    }
}

char *spawn_error(char *bf, int bfsz)
{
    scpy(bf, strerror(errno), bfsz);
    return bf;
}

int make_args(const char *command, char **args, int max)
{
    if (!args || max < 1) return 0;
    args[0] = nullptr;
    if (!command) return 0;

    // One character short of the buffer, as every command line always was.
    char work[WIRE_BUF];
    scpy(work, command, WIRE_BUF - 1);
    // The fields first point into work; the kept ones are replaced by copies.
    int np = ssplit(work, " \t\r\n", args, max, 1);
    int keep = np;
    if (np >= max - 1) {
        emsg("Spawn: make_args: %d >= %d", np, max - 1);
        keep = max - 2 > 0 ? max - 2 : 0;
    }
    for (int i = 0; i < keep; i++) {
        dmsg("Spawn: arg%d(%s)", i, args[i]);
        args[i] = s_strdup(args[i]);
    }
    for (int i = keep; i < np && i < max; i++) args[i] = nullptr;
    args[keep] = nullptr;
    return np;
}

void free_args(char **args)
{
    if (!args) return;
    for (int i = 0; args[i]; i++) {
        free(args[i]);
        args[i] = nullptr;
    }
}

static void close_pipe(int *p)
{
    close(p[0]);
    close(p[1]);
}

static void cloexec(int fd, const char *name)
{
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1) {
        char eb[WIRE_BUF];
        emsg("Spawn: Error fcntl(%s), %s", name, spawn_error(eb, sizeof eb));
    }
}

// Makes fd the child's descriptor target, without the close-on-exec mark.
// A pipe end that already has that number (the slot was free when the pipe
// was made) only loses the mark.
static int onto(int fd, int target)
{
    if (fd == target) return fcntl(target, F_SETFD, 0) == -1 ? -1 : 0;
    if (dup2(fd, target) == -1) return -1;
    close(fd);
    return 0;
}

// Marks every descriptor from 3 on close-on-exec in the child. Ours are so
// already, but those Corvane inherited from its own caller (a server's
// socket, a checkpassword caller's descriptor 3) are none of a module's
// business. Marked rather than closed, so that a failed execution can still
// write its log line.
static void cloexec_inherited(void)
{
    spawn_cloexec_from(3);
}

// What a child that could not run its program tells the parent through
// the status pipe, which closes unwritten when the program starts.
struct exec_status {
    int chdir_failed; // 1: the working directory, 0: the program itself
    int error;        // errno of the failed call
};

// The pipes of a start, read end first.
struct start_pipes {
    int xread[2];  // our requests to the child's standard input
    int xwrite[2]; // the child's standard output to us
};

// In the child: takes on x's user and group, with the user's groups, for
// good. 1, or 0 with errno set: the program must then not run.
static int take_identity(pSpawn x)
{
    if (x->uid == -1 && x->gid == -1) return 1;
    gid_t gid = x->gid != -1 ? static_cast<gid_t>(x->gid) : getgid();
    struct passwd *pw = x->uid != -1 ? getpwuid(static_cast<uid_t>(x->uid)) : nullptr;
    if (geteuid() == 0 && (pw ? initgroups(pw->pw_name, gid) : setgroups(1, &gid)) != 0) return 0;
    if (x->gid != -1 && setresgid(gid, gid, gid) != 0) return 0;
    return x->uid == -1 || setresuid(x->uid, x->uid, x->uid) == 0;
}

// In the child: wire up the descriptors, take on the identity and run the
// program. Never returns: the parent's exit-time clean-up must not run here,
// it would stop the other modules and write the parent's log.
[[noreturn]] static void run_child(pSpawn x, const char *command, char **args, const char *dir,
                                   const start_pipes &p, int status)
{
    char eb[WIRE_BUF];
    if (onto(p.xread[0], 0) == -1) emsg("Spawn: Error dup2(xread), %s", spawn_error(eb, sizeof eb));
    if (onto(p.xwrite[1], 1) == -1)
        emsg("Spawn: Error dup2(xwrite), %s", spawn_error(eb, sizeof eb));
    // With descriptor 2 closed, the first file the program opens would get
    // it and catch whatever the program writes to standard error.
    int null = open("/dev/null", O_WRONLY);
    if (null == -1 || onto(null, 2) == -1)
        emsg("Spawn: Error open(/dev/null), %s", spawn_error(eb, sizeof eb));

    cloexec_inherited();

    exec_status st = {0, 0};
    if (!take_identity(x)) {
        st = {0, errno};
        emsg("Spawn: Error taking on user %d group %d, %s", x->uid, x->gid,
             spawn_error(eb, sizeof eb));
    } else if (dir && chdir(dir) == -1) {
        st = {1, errno};
        emsg("Spawn: Error chdir(%s), %s", dir, spawn_error(eb, sizeof eb));
    } else {
        execve(args[0] ? args[0] : "", args, x->env);
        st = {0, errno};
        emsg("Spawn: Error executing '%s', %s", command, spawn_error(eb, sizeof eb));
    }
    // Should this write fail, the parent learns only that the child is silent.
    ssize_t told = status != -1 ? write(status, &st, sizeof st) : 0;
    (void)told;
    // Only the log: other streams may still hold the parent's unwritten output.
    log_flush(nullptr);
    _exit(0);
}

// Waits for the child to run its program or to report why it could not
// (read end of the status pipe); the reason goes into x->execerr.
static void learn_exec_status(pSpawn x, int status, const char *program, const char *dir)
{
    exec_status st;
    ssize_t n;
    do n = read(status, &st, sizeof st);
    while (n == -1 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof st)) return;
    char text[WIRE_BUF];
    if (st.chdir_failed)
        lprintf(text, sizeof text, "cannot change to directory '%s': %s", dir, strerror(st.error));
    else
        lprintf(text, sizeof text, "cannot execute '%s': %s", program, strerror(st.error));
    free(x->execerr);
    x->execerr = s_strdup(text);
}

int spawn_start(pSpawn x, const char *command)
{
    return spawn_start_in(x, command, nullptr);
}

int spawn_start_in(pSpawn x, const char *command, const char *dir)
{
    char eb[WIRE_BUF];
    if (!x || !command) {
        emsg("Spawn: Cannot execute[NULL]");
        return 0;
    }
    dmsg("Spawn: Execute [%s]", command);

    start_pipes p;
    if (pipe(p.xread) == -1) {
        emsg("Spawn: Pipe creation failed, %s", spawn_error(eb, sizeof eb));
        return 0;
    }
    if (pipe(p.xwrite) == -1) {
        emsg("Spawn: Pipe creation failed, %s", spawn_error(eb, sizeof eb));
        close_pipe(p.xread);
        return 0;
    }
    x->in = p.xread[1];
    x->out = p.xwrite[0];
    // Both ends close on exec: the start of the program closes the write
    // end, which the parent reads as "it runs".
    int status[2] = {-1, -1};
    if (pipe2(status, O_CLOEXEC) == -1)
        emsg("Spawn: Pipe creation failed, %s", spawn_error(eb, sizeof eb));

    char *args[MAX_ARGS];
    make_args(command, args, MAX_ARGS);

    // Our ends stay out of every child, so no module holds another
    // module's pipe open. Our own standard descriptors are left as they
    // are: the child's 0, 1 and 2 are its pipes and /dev/null anyway, and a
    // program we run later by other means must still find ours open.
    cloexec(x->in, "in");
    cloexec(x->out, "out");

    // A child must not write our buffered log lines a second time.
    log_flush(nullptr);
    pid_t pid = fork();
    if (pid == -1) {
        emsg("Spawn: Error fork, %s", spawn_error(eb, sizeof eb));
        close_pipe(p.xread);
        close_pipe(p.xwrite);
        if (status[0] != -1) close_pipe(status);
        x->in = x->out = 0;
        free_args(args);
        return 0;
    }
    if (pid == 0) run_child(x, command, args, dir, p, status[1]);

    x->pid = pid;
    close(p.xread[0]);
    close(p.xwrite[1]);
    if (status[0] != -1) {
        close(status[1]);
        learn_exec_status(x, status[0], args[0] ? args[0] : "", dir);
        close(status[0]);
    }
    dmsg("Spawn: Process pid[%d][%s]", x->pid, command);
    free_args(args);
    return 1;
}

const char *spawn_exec_error(pSpawn x)
{
    return x ? x->execerr : nullptr;
}

// 1 when the child has ended and is reaped, or cannot be waited for.
static int reaped(pid_t pid)
{
    pid_t r = waitpid(pid, nullptr, WNOHANG | WUNTRACED);
    return r == pid || r == -1;
}

// Spends up to one step of POLL_STEP ms waiting for the child to change
// state, looking after every SIGCHLD, so that a child that ends promptly is
// reaped the moment it has ended. SIGCHLD is blocked (by spawn_kill) from
// before the signal is sent, so one that comes between a look and the wait
// stays pending and ends the wait at once. The wait takes the SIGCHLD.
static int reaped_within_step(pid_t pid, const sigset_t *chld)
{
    struct timespec end = spawn_deadline(POLL_STEP);
    for (;;) {
        long long left = spawn_left(&end);
        if (left <= 0) return 0;
        struct timespec wait = {static_cast<time_t>(left / 1000), (left % 1000) * 1000000L};
        sigtimedwait(chld, nullptr, &wait);
        if (reaped(pid)) return 1;
    }
}

void spawn_kill(pSpawn x)
{
    if (!x || x->pid == 0) return;
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    int sent = kill(x->pid, SIGTERM) == 0;
    if (!sent) {
        char eb[WIRE_BUF];
        emsg("Spawn: Error kill, %s", spawn_error(eb, sizeof eb));
    }
    // The channel is closed before the wait, not after it: a child that
    // ignores SIGTERM but ends at the end of its input then ends within the
    // wait and is reaped, instead of ending unreaped once we stopped looking.
    if (x->out != 0) close(x->out);
    if (x->in > 0) close(x->in);
    if (sent && !reaped(x->pid)) {
        for (int retries = KILL_RETRIES; retries > 0; retries--) {
            if (reaped(x->pid)) break;
            dmsg("Spawn: Waitpid, %d retries", retries);
            if (reaped_within_step(x->pid, &chld)) break;
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    spawn_clrenv(x);
    x->pid = 0;
}

void spawn_free(pSpawn *x, int dontkill)
{
    if (!x || !*x) return;
    if (!dontkill) spawn_kill(*x);
    spawn_clrenv(*x);
    free((*x)->execerr);
    free((*x)->env);
    (*x)->env = nullptr;
    (*x)->envsz = 0;
    free(*x);
    *x = nullptr;
}

int spawn_get_pid(pSpawn x)
{
    return x ? x->pid : -1;
}

// The words for how a child ended, from its wait information.
static void describe_end(const siginfo_t &info, char *bf, int bfsz)
{
    if (info.si_code == CLD_EXITED)
        lprintf(bf, bfsz, "exited with status %d", info.si_status);
    else
        lprintf(bf, bfsz, "was killed by signal %d (%s)", info.si_status,
                strsignal(info.si_status));
}

// 1 once x's child has ended, waiting up to wait_ms for that, with its wait
// information in *info; else 0.
static int ended(pSpawn x, int wait_ms, siginfo_t *info)
{
    if (!x || x->pid <= 0) return 0;
    struct timespec until = spawn_deadline(wait_ms);
    for (;;) {
        // WNOWAIT leaves the child for spawn_kill to reap: its pid stays ours.
        *info = {};
        if (waitid(P_PID, static_cast<id_t>(x->pid), info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info->si_pid == x->pid)
            return 1;
        if (spawn_left(&until) <= 0) return 0;
        my_msleep(END_STEP);
    }
}

const char *spawn_ended(pSpawn x, char *bf, int bfsz, int wait_ms)
{
    siginfo_t info;
    if (!bf || !ended(x, wait_ms, &info)) return nullptr;
    describe_end(info, bf, bfsz);
    return bf;
}

int spawn_exit_status(pSpawn x, int wait_ms)
{
    siginfo_t info;
    return ended(x, wait_ms, &info) && info.si_code == CLD_EXITED ? info.si_status : -1;
}

void spawn_end_input(pSpawn x)
{
    if (!x || x->in <= 0) return;
    close(x->in);
    x->in = -1;
}

int spawn_peek(pSpawn x)
{
    if (!x) return -1;
    int n = 0;
    if (ioctl(x->out, FIONREAD, &n) == -1) {
        char eb[WIRE_BUF];
        dmsg("Spawn: Peek failed, %s", spawn_error(eb, sizeof eb));
        return -1;
    }
    return n;
}

int spawn_read(pSpawn x, char *buffer, unsigned int bfsz)
{
    if (!x) {
        emsg("Spawn: No process to read from");
        return 0;
    }
    if (!buffer) {
        emsg("Spawn: No buffer to read into");
        return 0;
    }
    size_t room = bfsz > 0 ? bfsz - 1 : 0;
    ssize_t n;
    do n = read(x->out, buffer, room);
    while (n == -1 && errno == EINTR);
    if (n == -1) {
        char eb[WIRE_BUF];
        dmsg("Spawn: Error reading, %s", spawn_error(eb, sizeof eb));
        return 0;
    }
    if (bfsz > 0) buffer[n] = '\0';
    dmsg("Spawn: Read [%d] %d bytes", x->pid, static_cast<int>(n));
    return static_cast<int>(n);
}

int spawn_write(pSpawn x, const char *buffer, unsigned int bytes)
{
    if (!x) {
        emsg("Spawn: No process to write to");
        return 0;
    }
    if (!buffer) {
        emsg("Spawn: No data to write");
        return 0;
    }
    ssize_t n;
    do n = write(x->in, buffer, bytes);
    while (n == -1 && errno == EINTR);
    if (n == -1) {
        char eb[WIRE_BUF];
        dmsg("Spawn: Error writing, %s", spawn_error(eb, sizeof eb));
        return 0;
    }
    dmsg("Spawn: Written [%d] %d bytes", x->pid, static_cast<int>(n));
    return static_cast<int>(n);
}

int spawn_printf(pSpawn x, const char *format, ...)
{
    if (!x || !format) return 0;
    char bf[WIRE_BUF];
    va_list ap;
    va_start(ap, format);
    int len = vsnprintf(bf, WIRE_LINE, format, ap);
    va_end(ap);
    // Plain text that filled the bound comes back unterminated.
    if (len == -1) len = WIRE_LINE;
    bf[len] = '\0';
    while (len > 0 && (bf[len - 1] == '\r' || bf[len - 1] == '\n')) len--;
    bf[len++] = '\n';
    bf[len] = '\0';
    return spawn_write(x, bf, len);
}

// Hands out the line ending at the line feed lf (inside x->inbf).
static int take_line(pSpawn x, char *lf, char *result, int bfsz, int *avail)
{
    char *line = x->inbf + x->inupto;
    int bytes = static_cast<int>(lf - line);
    if (bytes > 0 && line[bytes - 1] == '\r') bytes--;
    if (bytes >= bfsz) {
        dmsg("Spawn: Line is too long for input buffer");
        errno = EMSGSIZE;
        return -1;
    }
    memcpy(result, line, bytes);
    result[bytes] = '\0';
    // The line's CR and LF become NULs.
    memset(line + bytes, 0, lf + 1 - (line + bytes));
    x->inupto = static_cast<int>(lf + 1 - x->inbf);
    if (avail) *avail = x->inbytes - x->inupto;
    dmsg("Spawn: gets read (%s)", result);
    return bytes;
}

// Moves the unread bytes (and their NUL) to the front of the buffer.
static void compact(pSpawn x)
{
    int unread = x->inbytes - x->inupto;
    if (unread > 0 && x->inupto > 0) memmove(x->inbf, x->inbf + x->inupto, unread + 1);
    x->inbf[unread] = '\0';
    x->inbytes = unread;
    x->inupto = 0;
}

// Reads what is waiting onto the held bytes; 0 when nothing came (end of
// file, a failed read, or a full buffer).
// errno then names the cause for the caller's failure text: the read's own
// error, EPIPE for an end of file, EMSGSIZE for a line too long to hold.
static int fill(pSpawn x)
{
    int space = WIRE_LINE + 1 - x->inbytes;
    errno = 0;
    int n = spawn_read(x, x->inbf + x->inbytes, space);
    if (n <= 0) {
        if (space <= 1)
            errno = EMSGSIZE;
        else if (errno == 0)
            errno = EPIPE;
        dmsg("Spawn: read 0 bytes");
        return 0;
    }
    x->inbytes += n;
    x->inbf[x->inbytes] = '\0';
    return 1;
}

int spawn_gets(pSpawn x, char *result, int bfsz, int *avail, int timeout)
{
    if (!x) {
        emsg("Spawn: No process to read from");
        return -1;
    }
    if (!result) {
        emsg("Spawn: No buffer to write to");
        return -1;
    }
    if (avail) *avail = 0;
    // The whole line must come within timeout ms of the call, however it
    // trickles in: a child sending a byte now and then cannot stretch it.
    struct timespec start = spawn_deadline(0);
    int waited = 0;
    for (;;) {
        char *lf = strchr(x->inbf + x->inupto, '\n');
        if (lf) return take_line(x, lf, result, bfsz, avail);
        compact(x);
        if (waited >= timeout) break;
        // poll answers at once when bytes wait, so no byte count is asked
        // for first. Readable, or hung up with nothing left: the read tells
        // which.
        struct pollfd p = {x->out, POLLIN, 0};
        int n = poll(&p, 1, timeout - waited);
        int poll_errno = errno;
        waited = static_cast<int>(spawn_elapsed(&start));
        if (n == -1 && poll_errno == EINTR) continue;
        if (n == -1 || (p.revents & POLLNVAL)) {
            // The byte count's query names the cause, in the log and errno.
            spawn_peek(x);
            dmsg("Spawn: Peek -1 bytes");
            return -1;
        }
        if (n > 0 && !fill(x)) return -1;
    }
    dmsg("Spawn: %d >= %d Timed out reading", waited, timeout);
    errno = ETIMEDOUT;
    return -1;
}

// Logs each line of the bytes text (the last one may lack its line feed).
static void log_discarded(const char *who, const char *text, int bytes)
{
    char line[WIRE_BUF];
    while (bytes > 0) {
        const char *lf = static_cast<const char *>(memchr(text, '\n', bytes));
        int len = lf ? static_cast<int>(lf - text) : bytes;
        int shown = len > 0 && text[len - 1] == '\r' ? len - 1 : len;
        scpy(line, text, shown < WIRE_BUF ? shown + 1 : WIRE_BUF);
        emsg("%s: discarding unexpected output (%s)", who, line);
        int used = lf ? len + 1 : len;
        text += used;
        bytes -= used;
    }
}

int spawn_discard(pSpawn x, const char *who)
{
    if (!x) return 0;
    int dropped = x->inbytes - x->inupto;
    if (dropped > 0) log_discarded(who, x->inbf + x->inupto, dropped);
    x->inbytes = 0;
    x->inupto = 0;
    x->inbf[0] = '\0';
    int waiting = spawn_peek(x);
    char chunk[WIRE_BUF];
    while (waiting > 0) {
        int n = spawn_read(x, chunk, waiting < WIRE_BUF - 1 ? waiting + 1 : WIRE_BUF);
        if (n <= 0) break;
        log_discarded(who, chunk, n);
        dropped += n;
        waiting -= n;
    }
    return dropped < 0 ? 0 : dropped;
}

void spawn_cloexec_from(int low)
{
    if (close_range(static_cast<unsigned>(low), ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (struct dirent *e = readdir(d)) {
            int fd = atoi(e->d_name);
            if (fd >= low && fd != dirfd(d)) fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        closedir(d);
        return;
    }
    struct rlimit rl;
    int max = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 65536
                  ? static_cast<int>(rl.rlim_cur)
                  : 65536;
    for (int fd = low; fd < max; fd++) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

int spawn_stdio_open(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free descriptor: this one.
        int n = open("/dev/null", O_RDWR);
        if (n < 0) return 0;
        if (n != fd) close(n);
    }
    return 1;
}

struct timespec spawn_deadline(int ms)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// Whole milliseconds from a to b, 0 when b is not later.
static long long ms_between(const struct timespec &a, const struct timespec &b)
{
    long long ms =
        static_cast<long long>(b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000;
    return ms > 0 ? ms : 0;
}

long long spawn_left(const struct timespec *deadline)
{
    return deadline ? ms_between(spawn_deadline(0), *deadline) : 0;
}

long long spawn_elapsed(const struct timespec *since)
{
    return since ? ms_between(*since, spawn_deadline(0)) : 0;
}

} // namespace adt
