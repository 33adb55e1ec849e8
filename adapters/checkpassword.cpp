#include "adapters/checkpassword.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "adt/lib.h"

#ifndef CPW_CORVANE
#define CPW_CORVANE "/usr/local/bin/corvane"
#endif

const char *cpw_default_corvane(void)
{
    return CPW_CORVANE;
}

// The option's name without its one or two dashes, or null for a word
// that is no option.
static const char *_option_name(const char *word)
{
    if (word[0] != '-' || word[1] == 0) return nullptr;
    return word[1] == '-' ? word + 2 : word + 1;
}

static int _timeout_value(const char *text, int *ms)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < 1 || v > CPW_TIMEOUT_MAX) return 0;
    *ms = (int)v;
    return 1;
}

int cpw_parse_options(CpwOptions *o, int argc, char **argv, char *err, size_t size)
{
    if (!o || !argv) return 0;
    o->Corvane = cpw_default_corvane();
    o->Path = nullptr;
    o->Timeout = CPW_TIMEOUT;
    o->Pam = 0;
    o->Prog = nullptr;
    int i = 1;
    for (; i < argc; i++) {
        const char *name = _option_name(argv[i]);
        if (!name) break;
        if (!*name) { // "--"
            i++;
            break;
        }
        if (!strcmp(name, "pam")) {
            o->Pam = 1;
            continue;
        }
        int known = !strcmp(name, "corvane") || !strcmp(name, "path") || !strcmp(name, "timeout");
        if (!known) {
            adt::lprintf(err, (int)size, "unknown option %s", argv[i]);
            return 0;
        }
        if (i + 1 >= argc || !*argv[i + 1]) {
            adt::lprintf(err, (int)size, "%s requires a value", argv[i]);
            return 0;
        }
        const char *value = argv[++i];
        if (!strcmp(name, "corvane"))
            o->Corvane = value;
        else if (!strcmp(name, "path"))
            o->Path = value;
        else if (!_timeout_value(value, &o->Timeout)) {
            adt::lprintf(err, (int)size, "bad time-out %s: milliseconds from 1 to %d", value,
                         CPW_TIMEOUT_MAX);
            return 0;
        }
    }
    if (o->Pam && i < argc) {
        adt::lprintf(err, (int)size, "unexpected word %s after --pam", argv[i]);
        return 0;
    }
    if (!o->Pam && i >= argc) {
        adt::lprintf(err, (int)size, "no program to run after a good password");
        return 0;
    }
    if (!o->Pam) o->Prog = argv + i;
    return 1;
}

int cpw_word_ok(const char *text)
{
    if (!text || !*text) return 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        if (*p <= ' ' || *p == 127) return 0;
    return 1;
}

int cpw_parse_input(char *data, size_t len, CpwLogin *l)
{
    if (!data || !l) return CPW_MISUSE;
    l->User = l->Password = l->Address = nullptr;
    if (len > CPW_INPUT_MAX) return CPW_REJECT;
    char *user = data;
    char *nul = (char *)memchr(user, 0, len);
    if (!nul) return CPW_MISUSE;
    char *password = nul + 1;
    if (!memchr(password, 0, (size_t)(data + len - password))) return CPW_MISUSE;
    if (!cpw_word_ok(user) || !cpw_word_ok(password)) return CPW_REJECT;
    l->User = user;
    l->Password = password;
    return CPW_OK;
}

int cpw_parse_pam(char *data, size_t len, const char *user, CpwLogin *l)
{
    if (!data || !l) return CPW_MISUSE;
    l->User = l->Password = l->Address = nullptr;
    if (len > CPW_INPUT_MAX) return CPW_REJECT;
    data[len] = 0; // a password without its NUL ends here
    if (!cpw_word_ok(user) || !cpw_word_ok(data)) return CPW_REJECT;
    l->User = user;
    l->Password = data;
    return CPW_OK;
}

int cpw_set_address(CpwLogin *l, const char *address)
{
    if (!l) return CPW_MISUSE;
    l->Address = nullptr;
    if (!address || !*address) return CPW_OK;
    if (!cpw_word_ok(address) || strlen(address) > CPW_ADDRESS_MAX) return CPW_REJECT;
    l->Address = address;
    return CPW_OK;
}

int cpw_command(char *buf, size_t size, const CpwLogin *l)
{
    if (!buf || size < 1 || !l || !l->User || !l->Password) return -1;
    int n = l->Address ? adt::lprintf(buf, (int)size, "check %s %s %s\nquit\n", l->User,
                                      l->Password, l->Address)
                       : adt::lprintf(buf, (int)size, "check %s %s\nquit\n", l->User, l->Password);
    // A command cut short would send a wrong password, or none.
    if (n <= 0 || (size_t)n >= size - 1) {
        explicit_bzero(buf, size);
        return -1;
    }
    return n;
}

// 1 when line is word alone or followed by a blank.
static int _reply_is(const char *line, const char *word)
{
    size_t n = strlen(word);
    return !strncmp(line, word, n) && (line[n] == 0 || line[n] == ' ');
}

int cpw_reply_status(const char *line)
{
    if (!line) return CPW_TEMPFAIL;
    if (_reply_is(line, "+OK")) return CPW_OK;
    if (_reply_is(line, "-ERR")) return CPW_REJECT;
    return CPW_TEMPFAIL;
}

int cpw_left(const struct timespec *deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (long long)(deadline->tv_sec - now.tv_sec) * 1000 +
                   (deadline->tv_nsec - now.tv_nsec) / 1000000;
    return ms <= 0 ? 0 : ms > CPW_TIMEOUT_MAX ? CPW_TIMEOUT_MAX : (int)ms;
}

// Waits until fd can be read or deadline passes: 1 readable, 0 deadline,
// -1 error.
static int _wait_readable(int fd, const struct timespec *deadline)
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

ssize_t cpw_read_all(int fd, char *buf, size_t size, int to_nul, const struct timespec *deadline)
{
    if (!buf || !deadline) return -1;
    if (fd < 0) { // poll would pass over it and wait for the deadline
        errno = EBADF;
        return -1;
    }
    size_t got = 0;
    while (got < size) {
        int w = _wait_readable(fd, deadline);
        if (w == 0) return -2;
        if (w < 0) return -1;
        ssize_t r = read(fd, buf + got, size - got);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += (size_t)r;
        if (to_nul && memchr(buf + got - r, 0, (size_t)r)) break;
    }
    return (ssize_t)got;
}

// An absolute form of path (relative to the current directory) in buf, or
// null when the current directory cannot be had or the result is too long.
static const char *_absolute(const char *path, char *buf, size_t size)
{
    if (path[0] == '/') return path;
    char cwd[CPW_LINE];
    if (!getcwd(cwd, sizeof cwd)) return nullptr;
    int n = adt::lprintf(buf, (int)size, "%s/%s", cwd, path);
    if (n <= 0 || (size_t)n >= size - 1) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return buf;
}

// Waits up to ms for the child to end; 1 once it is reaped.
static int _reap(pid_t pid, int ms)
{
    for (int waited = 0;; waited += 10) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return 1;
        if (waited >= ms) return 0;
        adt::my_msleep(10);
    }
}

// Lets Corvane end after its "quit", or ends it: the check is decided, so
// only a short grace is given before it is stopped by force. Its modules
// see the end of their input and leave by themselves.
static void _finish(pid_t pid, int grace)
{
    if (_reap(pid, grace)) return;
    kill(pid, SIGTERM);
    if (_reap(pid, 1000)) return;
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The child's side: Corvane's standard input and output become the pipes,
// every other inherited descriptor (the caller's, such as checkpassword's
// descriptor 4) is closed, and the working directory is the -path one.
[[noreturn]] static void _exec_corvane(const char *corvane, const char *dir, int in, int out)
{
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(127);
    close_range(3, ~0U, 0);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    if (dir && chdir(dir) != 0) _exit(127);
    char *argv[] = {(char *)corvane, (char *)"-path", (char *)dir, nullptr};
    if (!dir) argv[1] = nullptr;
    execv(corvane, argv);
    _exit(127);
}

// Reads up to the first line feed; 1 for a whole line (in reply, cut to
// size - 1), 0 at the end of output, -1 on an error, -2 at the deadline.
static int _read_line(int fd, char *reply, size_t size, const struct timespec *deadline)
{
    size_t got = 0;
    char bf[256];
    for (;;) {
        int w = _wait_readable(fd, deadline);
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

int cpw_ask(const CpwOptions *o, const char *command, size_t len, const struct timespec *deadline,
            char *reply, size_t size)
{
    if (!reply || size < 2) return 0;
    reply[0] = 0;
    if (!o || !command || !deadline) return 0;
    char corvane_bf[CPW_LINE], dir_bf[CPW_LINE];
    const char *corvane = _absolute(o->Corvane, corvane_bf, sizeof corvane_bf);
    const char *dir = o->Path ? _absolute(o->Path, dir_bf, sizeof dir_bf) : nullptr;
    if (!corvane || (o->Path && !dir)) {
        adt::lprintf(reply, (int)size, "cannot make %s absolute: %s",
                     corvane ? o->Path : o->Corvane, strerror(errno));
        return 0;
    }
    if (!cpw_left(deadline)) {
        adt::lprintf(reply, (int)size, "no time left to ask %s", corvane);
        return 0;
    }
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0) {
        adt::lprintf(reply, (int)size, "cannot make a pipe: %s", strerror(errno));
        return 0;
    }
    if (pipe2(from, O_CLOEXEC) != 0) {
        adt::lprintf(reply, (int)size, "cannot make a pipe: %s", strerror(errno));
        close(to[0]);
        close(to[1]);
        return 0;
    }
    pid_t pid = fork();
    if (pid == 0) _exec_corvane(corvane, dir, to[0], from[1]);
    close(to[0]);
    close(from[1]);
    if (pid < 0) {
        adt::lprintf(reply, (int)size, "cannot start %s: %s", corvane, strerror(errno));
        close(to[1]);
        close(from[0]);
        return 0;
    }
    // The whole command fits the pipe at once. When Corvane is already
    // gone its last words (a "-DEAD" of a failed start) are still read;
    // the write must then fail rather than end this process.
    struct sigaction ignore = {}, old;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    adt::write_all(to[1], command, len);
    sigaction(SIGPIPE, &old, nullptr);
    close(to[1]);
    int r = _read_line(from[0], reply, size, deadline);
    close(from[0]);
    if (r != 1)
        adt::lprintf(reply, (int)size,
                     r == -2   ? "no reply from %s within the time-out"
                     : r == -1 ? "cannot read the reply of %s"
                               : "%s ended without a reply (not started?)",
                     corvane);
    _finish(pid, r == 1 ? 2000 : 0);
    return r == 1;
}
