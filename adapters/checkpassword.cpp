// The adapter's library: its options, the logins its callers hand over, and
// the one check asked of a Corvane child or of a running daemon.
#include "adapters/checkpassword.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "adt/lib.h"
#include "adt/spawn.h"

#ifndef CPW_CORVANE
#define CPW_CORVANE "/usr/local/bin/corvane"
#endif
#ifndef CPW_CONFDIR
#define CPW_CONFDIR "/usr/local/etc/corvane"
#endif

const char *cpw_default_corvane(void)
{
    return CPW_CORVANE;
}

const char *cpw_default_path(void)
{
    return CPW_CONFDIR;
}

namespace
{

// A descriptor closed when its holder goes, so that every way out of a
// function closes it in one place.
class Fd
{
  public:
    Fd() = default;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A close-on-exec pipe: the end read from and the end written to.
struct Pipe {
    Fd r, w;
    bool open()
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return false;
        r.reset(p[0]);
        w.reset(p[1]);
        return true;
    }
};

// SIGCHLD blocked while the object lives, so that a child's end between a
// look with waitpid and the wait for the signal stays pending.
class ChildSignal
{
  public:
    ChildSignal()
    {
        sigemptyset(&chld_);
        sigaddset(&chld_, SIGCHLD);
        sigprocmask(SIG_BLOCK, &chld_, &old_);
    }
    ChildSignal(const ChildSignal &) = delete;
    ChildSignal &operator=(const ChildSignal &) = delete;
    ~ChildSignal() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    const sigset_t &old() const { return old_; }

    // Waits up to ms for the child to end; 1 once it is reaped (or cannot
    // be waited for). Wakes on its SIGCHLD, never polls.
    int reap(pid_t pid, int ms) const
    {
        struct timespec end = cpw_deadline(ms);
        for (;;) {
            pid_t r = waitpid(pid, nullptr, WNOHANG);
            if (r == pid || (r < 0 && errno != EINTR)) return 1;
            int left = cpw_left(&end);
            if (left <= 0) return 0;
            struct timespec wait = {left / 1000, (left % 1000) * 1000000L};
            sigtimedwait(&chld_, nullptr, &wait);
        }
    }

  private:
    sigset_t chld_, old_;
};

// What a child that could not become Corvane tells its parent.
struct ExecFailure {
    int in_dir; // 1: the configuration directory could not be entered
    int error;  // errno
};

// The option's name without its one or two dashes, or null for a word
// that is no option.
const char *option_name(const char *word)
{
    if (word[0] != '-' || word[1] == 0) return nullptr;
    return word[1] == '-' ? word + 2 : word + 1;
}

int timeout_value(const char *text, int *ms)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < 1 || v > CPW_TIMEOUT_MAX) return 0;
    *ms = static_cast<int>(v);
    return 1;
}

// 1 when line is word alone or followed by a blank.
int reply_is(const char *line, const char *word)
{
    size_t n = strlen(word);
    return !strncmp(line, word, n) && (line[n] == 0 || line[n] == ' ');
}

// Waits until fd can be read or deadline passes: 1 readable, 0 deadline,
// -1 error.
int wait_readable(int fd, const struct timespec *deadline)
{
    for (;;) {
        int left = cpw_left(deadline);
        if (left <= 0) return 0;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
}

// Reads up to the first line feed; 1 for a whole line (in reply, cut to
// size - 1), 0 at the end of output, -1 on an error, -2 at the deadline.
int read_line(int fd, char *reply, size_t size, const struct timespec *deadline)
{
    size_t got = 0;
    char bf[256];
    for (;;) {
        int w = wait_readable(fd, deadline);
        if (w <= 0) return w == 0 ? -2 : -1;
        ssize_t r = read(fd, bf, sizeof bf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        for (ssize_t i = 0; i < r; i++) {
            if (bf[i] == '\n') {
                reply[got] = 0;
                return 1;
            }
            if (got + 1 < size) reply[got++] = bf[i];
        }
    }
}

// Writes the command whole. The peer may be gone already (a Corvane whose
// start failed, a daemon that closed): its last words are still read, so
// the write must fail rather than end this process.
void send_command(int fd, const char *command, size_t len)
{
    struct sigaction ignore = {}, old;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    adt::write_all(fd, command, len);
    sigaction(SIGPIPE, &old, nullptr);
}

// The child's side: Corvane's standard input and output become the pipes,
// the working directory is the configuration directory, and a failure is
// told on the status pipe (which the execution closes when it succeeds).
[[noreturn]] void exec_corvane(const CpwOptions *o, int in, int out, int status,
                               const sigset_t *mask)
{
    ExecFailure f = {0, 0};
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0) {
        f.error = errno;
    } else {
        // Descriptors the caller left open (checkpassword's descriptor 4, a
        // server's sockets) are none of Corvane's business.
        adt::spawn_cloexec_from(3);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGCHLD, SIG_DFL);
        sigprocmask(SIG_SETMASK, mask, nullptr);
        if (chdir(o->Path) != 0) {
            f = {1, errno};
        } else {
            char *argv[] = {const_cast<char *>(o->Corvane), const_cast<char *>("-path"),
                            const_cast<char *>(o->Path), nullptr};
            execv(o->Corvane, argv);
            f.error = errno;
        }
    }
    adt::write_all(status, &f, sizeof f);
    _exit(127);
}

// Lets Corvane end after its "quit", or ends it: the check is decided, so
// only a short grace is given before it is stopped by force. Its modules
// see the end of their input and leave by themselves.
void finish(const ChildSignal &s, pid_t pid, int grace)
{
    if (s.reap(pid, grace)) return;
    kill(pid, SIGTERM);
    if (s.reap(pid, 1000)) return;
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Turns a read_line result other than 1 into the reason in reply.
int no_reply(int r, const char *who, char *reply, size_t size)
{
    adt::lprintf(reply, static_cast<int>(size),
                 r == -2   ? "no reply from %s within the time-out"
                 : r == -1 ? "cannot read the reply of %s"
                           : "%s ended without a reply",
                 who);
    return 0;
}

int ask_daemon(const CpwOptions *o, const char *command, size_t len,
               const struct timespec *deadline, char *reply, size_t size)
{
    Fd sock;
    sock.reset(cpw_connect(o->Socket, deadline, reply, size));
    if (sock.get() < 0) return 0;
    send_command(sock.get(), command, len);
    int r = read_line(sock.get(), reply, size, deadline);
    char who[CPW_LINE];
    adt::lprintf(who, sizeof who, "the daemon at %s", o->Socket);
    return r == 1 ? 1 : no_reply(r, who, reply, size);
}

int ask_child(const CpwOptions *o, const char *command, size_t len, const struct timespec *deadline,
              char *reply, size_t size)
{
    int isize = static_cast<int>(size);
    if (!cpw_config_safe(o->Path, o->Corvane, reply, size)) return 0;
    Pipe to, from, status;
    if (!to.open() || !from.open() || !status.open()) {
        adt::lprintf(reply, isize, "cannot make a pipe: %s", strerror(errno));
        return 0;
    }
    ChildSignal chld;
    pid_t pid = fork();
    if (pid == 0) exec_corvane(o, to.r.get(), from.w.get(), status.w.get(), &chld.old());
    if (pid < 0) {
        adt::lprintf(reply, isize, "cannot start %s: %s", o->Corvane, strerror(errno));
        return 0;
    }
    to.r.reset();
    from.w.reset();
    status.w.reset();
    ExecFailure f;
    if (cpw_read_all(status.r.get(), reinterpret_cast<char *>(&f), sizeof f, 0, deadline) ==
        static_cast<ssize_t>(sizeof f)) {
        adt::lprintf(reply, isize, f.in_dir ? "cannot enter %s: %s" : "cannot execute %s: %s",
                     f.in_dir ? o->Path : o->Corvane, strerror(f.error));
        finish(chld, pid, 1000);
        return 0;
    }
    send_command(to.w.get(), command, len);
    to.w.reset();
    int r = read_line(from.r.get(), reply, size, deadline);
    from.r.reset();
    finish(chld, pid, r == 1 ? 2000 : 0);
    return r == 1 ? 1 : no_reply(r, o->Corvane, reply, size);
}

} // namespace

int cpw_parse_options(CpwOptions *o, int argc, char **argv, char *err, size_t size)
{
    if (!o || !argv) return 0;
    *o = {cpw_default_corvane(),
          cpw_default_path(),
          nullptr,
          CPW_TIMEOUT,
          CPW_CHECKPASSWORD,
          0,
          nullptr};
    int isize = static_cast<int>(size);
    int i = 1;
    for (; i < argc; i++) {
        const char *name = option_name(argv[i]);
        if (!name) break;
        if (!*name) { // "--"
            i++;
            break;
        }
        if (!strcmp(name, "help")) {
            o->Help = 1;
            return 1;
        }
        int mode = !strcmp(name, "pam") ? CPW_PAM : !strcmp(name, "pipe") ? CPW_PIPE : -1;
        if (mode >= 0) {
            if (o->Mode != CPW_CHECKPASSWORD && o->Mode != mode) {
                adt::lprintf(err, isize, "--pam and --pipe exclude each other");
                return 0;
            }
            o->Mode = mode;
            continue;
        }
        const char **path = !strcmp(name, "corvane")  ? &o->Corvane
                            : !strcmp(name, "path")   ? &o->Path
                            : !strcmp(name, "socket") ? &o->Socket
                                                      : nullptr;
        if (!path && strcmp(name, "timeout")) {
            adt::lprintf(err, isize, "unknown option %s", argv[i]);
            return 0;
        }
        if (i + 1 >= argc || !*argv[i + 1]) {
            adt::lprintf(err, isize, "%s requires a value", argv[i]);
            return 0;
        }
        const char *value = argv[++i];
        if (path && value[0] != '/') {
            // The caller's current directory is no place to trust.
            adt::lprintf(err, isize, "%s %s: an absolute path is needed", argv[i - 1], value);
            return 0;
        }
        if (path) {
            *path = value;
        } else if (!timeout_value(value, &o->Timeout)) {
            adt::lprintf(err, isize, "bad time-out %s: milliseconds from 1 to %d", value,
                         CPW_TIMEOUT_MAX);
            return 0;
        }
    }
    if (o->Mode != CPW_CHECKPASSWORD && i < argc) {
        adt::lprintf(err, isize, "unexpected word %s after the options", argv[i]);
        return 0;
    }
    if (o->Mode == CPW_CHECKPASSWORD && i >= argc) {
        adt::lprintf(err, isize, "no program to run after a good password");
        return 0;
    }
    if (o->Mode == CPW_CHECKPASSWORD) o->Prog = argv + i;
    return 1;
}

int cpw_word_ok(const char *text)
{
    if (!text || !*text) return 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++)
        if (*p <= ' ' || *p == 127) return 0;
    return 1;
}

int cpw_parse_login(int mode, char *data, size_t len, const char *user, CpwLogin *l)
{
    if (!data || !l) return CPW_MISUSE;
    *l = {nullptr, nullptr, nullptr};
    if (len > CPW_INPUT_MAX) return CPW_REJECT;
    // A NUL inside a line would cut the password short unseen.
    if (mode == CPW_PIPE && memchr(data, 0, len)) return CPW_REJECT;
    data[len] = 0; // a last field without its separator ends here
    const char *password = data;
    if (mode != CPW_PAM) {
        char sep = mode == CPW_PIPE ? '\n' : 0;
        char *end = static_cast<char *>(memchr(data, sep, len));
        if (!end) return CPW_MISUSE;
        *end = 0;
        user = data;
        password = end + 1;
        // Searched up to and with the terminator: checkpassword's NUL after
        // the password must be the caller's own.
        char *after =
            static_cast<char *>(memchr(end + 1, sep, static_cast<size_t>(data + len - end)));
        if (mode == CPW_CHECKPASSWORD && after == data + len) return CPW_MISUSE;
        if (after) *after = 0;
    }
    if (!cpw_word_ok(user) || !cpw_word_ok(password)) return CPW_REJECT;
    *l = {user, password, nullptr};
    return CPW_OK;
}

int cpw_set_address(CpwLogin *l, const char *address)
{
    if (!l) return CPW_MISUSE;
    l->Address = nullptr;
    if (!address || !*address) return CPW_OK;
    if (!cpw_word_ok(address) || strchr(address, ',') || strlen(address) > CPW_ADDRESS_MAX)
        return CPW_REJECT;
    l->Address = address;
    return CPW_OK;
}

int cpw_command(char *buf, size_t size, const CpwLogin *l)
{
    if (!buf || size < 1 || !l || !l->User || !l->Password) return -1;
    int isize = static_cast<int>(size);
    int n = l->Address ? adt::lprintf(buf, isize, "check %s %s %s\nquit\n", l->User, l->Password,
                                      l->Address)
                       : adt::lprintf(buf, isize, "check %s %s\nquit\n", l->User, l->Password);
    // A command cut short would send a wrong password, or none.
    if (n <= 0 || static_cast<size_t>(n) >= size - 1) {
        explicit_bzero(buf, size);
        return -1;
    }
    return n;
}

int cpw_reply_status(const char *line)
{
    if (!line) return CPW_TEMPFAIL;
    if (reply_is(line, "+OK")) return CPW_OK;
    if (reply_is(line, "-ERR")) return CPW_REJECT;
    return CPW_TEMPFAIL;
}

int cpw_reply_holds(const char *reply, const char *password)
{
    return reply && password && *password && strstr(reply, password);
}

struct timespec cpw_deadline(int ms)
{
    return adt::spawn_deadline(ms);
}

int cpw_left(const struct timespec *deadline)
{
    long long ms = adt::spawn_left(deadline);
    return ms > CPW_TIMEOUT_MAX ? CPW_TIMEOUT_MAX : static_cast<int>(ms);
}

ssize_t cpw_read_all(int fd, char *buf, size_t size, int to_nul, const struct timespec *deadline)
{
    if (!buf || !deadline) return -1;
    if (fd < 0) { // poll would pass over it and wait for the deadline
        errno = EBADF;
        return -1;
    }
    size_t got = 0;
    while (got < size) {
        int w = wait_readable(fd, deadline);
        if (w == 0) return -2;
        if (w < 0) return -1;
        ssize_t r = read(fd, buf + got, size - got);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
        if (to_nul && memchr(buf + got - r, 0, static_cast<size_t>(r))) break;
    }
    return static_cast<ssize_t>(got);
}

int cpw_config_safe(const char *dir, const char *corvane, char *err, size_t size)
{
    int isize = static_cast<int>(size);
    if (!dir || !corvane) {
        adt::lprintf(err, isize, "no configuration directory or corvane program named");
        return 0;
    }
    char name[CPW_LINE], ini[CPW_LINE];
    adt::exename(name, corvane, sizeof name);
    int n = adt::lprintf(ini, sizeof ini, "%s/%s.ini", dir, name);
    if (n <= 0 || n >= static_cast<int>(sizeof ini) - 1) {
        adt::lprintf(err, isize, "configuration directory name too long: %s", dir);
        return 0;
    }
    uid_t me = geteuid();
    for (const char *file : {dir, static_cast<const char *>(ini)}) {
        struct stat st;
        if (stat(file, &st) != 0) {
            adt::lprintf(err, isize, "cannot use the configuration %s: %s", file, strerror(errno));
            return 0;
        }
        if (st.st_uid != 0 && st.st_uid != me) {
            adt::lprintf(err, isize,
                         "configuration %s refused: owned by uid %u, neither root nor this "
                         "process's user (uid %u)",
                         file, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(me));
            return 0;
        }
        if (st.st_mode & (S_IWGRP | S_IWOTH)) {
            adt::lprintf(err, isize,
                         "configuration %s refused: writable by others than its owner "
                         "(mode %03o)",
                         file, static_cast<unsigned>(st.st_mode & 07777));
            return 0;
        }
    }
    return 1;
}

int cpw_connect(const char *path, const struct timespec *deadline, char *err, size_t size)
{
    int isize = static_cast<int>(size);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    if (!path || !deadline || strlen(path) >= sizeof a.sun_path) {
        adt::lprintf(err, isize, "socket name too long: %s", path ? path : "");
        return -1;
    }
    memcpy(a.sun_path, path, strlen(path) + 1);
    int left = cpw_left(deadline);
    if (left <= 0) {
        adt::lprintf(err, isize, "no time left to connect to %s", path);
        return -1;
    }
    Fd sock;
    sock.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // A daemon whose backlog is full keeps a connect waiting: no longer
    // than the time left.
    struct timeval tv = {left / 1000, (left % 1000) * 1000};
    if (sock.get() < 0 || setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0 ||
        connect(sock.get(), reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        adt::lprintf(err, isize, "cannot connect to %s: %s", path, strerror(errno));
        return -1;
    }
    return sock.release();
}

int cpw_ask(const CpwOptions *o, const char *command, size_t len, const struct timespec *deadline,
            char *reply, size_t size)
{
    if (!reply || size < 2) return 0;
    reply[0] = 0;
    if (!o || !command || !deadline) return 0;
    if (!cpw_left(deadline)) {
        adt::lprintf(reply, static_cast<int>(size), "no time left to ask Corvane");
        return 0;
    }
    return o->Socket ? ask_daemon(o, command, len, deadline, reply, size)
                     : ask_child(o, command, len, deadline, reply, size);
}
