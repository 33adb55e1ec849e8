// ask: the adapters' common parts; what they keep to is in ask.h.
#include "adapters/ask.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "adt/spawn.h"

#ifndef ASK_CORVANE
#define ASK_CORVANE "/usr/local/bin/corvane"
#endif

namespace
{

// What a child that could not become Corvane tells its parent.
struct ExecFailure {
    int in_dir; // 1: the configuration directory could not be entered
    int error;  // errno
};

// The child's side: Corvane's standard input and output become the link,
// no other descriptor of ours reaches it, its working directory is the
// configuration directory, and a failure is told on the status pipe (which
// the execution closes when it succeeds).
[[noreturn]] void exec_corvane(const AskOptions &o, int link, int status)
{
    ExecFailure f = {0, 0};
    if (dup2(link, 0) < 0 || dup2(link, 1) < 0) {
        f.error = errno;
    } else {
        // Descriptors the caller left open (checkpassword's descriptor 4, a
        // server's sockets) are none of Corvane's business.
        adt::spawn_cloexec_from(3);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGCHLD, SIG_DFL);
        if (chdir(o.Path) != 0) {
            f = {1, errno};
        } else {
            char *argv[] = {const_cast<char *>(o.Corvane), const_cast<char *>("-path"),
                            const_cast<char *>(o.Path), nullptr};
            execv(o.Corvane, argv);
            f.error = errno;
        }
    }
    adt::write_all(status, &f, sizeof f);
    _exit(127);
}

// Waits up to ms for the child pid to end, on SIGCHLD (which the caller
// blocked): 1 once it is reaped (or cannot be waited for), 0 when it still runs.
int reaped(pid_t pid, int ms, const sigset_t *chld)
{
    struct timespec end = askd_deadline(ms);
    for (;;) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return 1;
        int left = askd_left(&end);
        if (left <= 0) return 0;
        struct timespec wait = {left / 1000, (left % 1000) * 1000000L};
        sigtimedwait(chld, nullptr, &wait);
    }
}

} // namespace

int ask_status(int answer)
{
    return answer == ASKD_OK ? ASK_OK : answer == ASKD_ERR ? ASK_REJECT : ASK_TEMPFAIL;
}

int ask_set_address(AskLogin *l, const char *address)
{
    if (!l) return ASK_MISUSE;
    l->Address = nullptr;
    if (!address || !*address) return ASK_OK;
    if (!askd_address_ok(address)) return ASK_REJECT;
    l->Address = address;
    return ASK_OK;
}

const char *ask_default_corvane(void)
{
    return ASK_CORVANE;
}

const char *ask_default_path(void)
{
    return CORVANE_CONFDIR; // the installation's, from the build
}

void ask_options_init(AskOptions *o)
{
    if (o) *o = {ask_default_corvane(), ask_default_path(), nullptr, ASK_TIMEOUT, 0};
}

const char *ask_option_name(const char *word)
{
    if (!word || word[0] != '-' || word[1] == 0) return nullptr;
    return word[1] == '-' ? word + 2 : word + 1;
}

int ask_option(AskOptions *o, int argc, char **argv, int *i, char *err, size_t size)
{
    if (!o || !argv || !i || *i >= argc) return 0;
    const char *name = ask_option_name(argv[*i]);
    if (!name) return 0;
    const char **path = !strcmp(name, "corvane")  ? &o->Corvane
                        : !strcmp(name, "path")   ? &o->Path
                        : !strcmp(name, "socket") ? &o->Socket
                                                  : nullptr;
    if (!path && strcmp(name, "timeout")) return 0;
    const char *option = argv[*i], *value = *i + 1 < argc ? argv[*i + 1] : nullptr;
    int isize = static_cast<int>(size);
    if (path == &o->Socket && (!value || value[0] == '-')) {
        o->Socket = CORVANE_SOCKET;
        return 1;
    }
    if (!value || !*value) {
        adt::lprintf(err, isize, "%s requires a value", option);
        return -1;
    }
    ++*i;
    if (!path) {
        if (askd_timeout_value(value, &o->Timeout)) return 1;
        adt::lprintf(err, isize, "bad time-out %s: milliseconds from 1 to %d", value,
                     ASKD_TIMEOUT_MAX);
        return -1;
    }
    // A caller's current directory is no place to trust.
    if (value[0] != '/') {
        adt::lprintf(err, isize, "%s %s: an absolute path is needed", option, value);
        return -1;
    }
    if (path == &o->Socket && strlen(value) >= sizeof(sockaddr_un::sun_path)) {
        adt::lprintf(err, isize, "socket path too long: %s", value);
        return -1;
    }
    *path = value;
    if (path != &o->Socket) o->ChildNamed = 1;
    return 1;
}

int ask_init(void)
{
    signal(SIGCHLD, SIG_DFL);
    return adt::spawn_stdio_open();
}

int ask_config_safe(const char *dir, const char *corvane, char *err, size_t size)
{
    int isize = static_cast<int>(size);
    if (!dir || !corvane) {
        adt::lprintf(err, isize, "no configuration directory or corvane program named");
        return 0;
    }
    char name[ASKD_BUF], ini[ASKD_BUF];
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

ssize_t ask_read_all(int fd, void *buf, size_t size, int to_nul, const struct timespec *deadline)
{
    if (!buf || !deadline) return -1;
    if (fd < 0) { // poll would pass over it and wait for the deadline
        errno = EBADF;
        return -1;
    }
    char *to = static_cast<char *>(buf);
    size_t got = 0;
    while (got < size) {
        int w = askd_wait(fd, POLLIN, deadline);
        if (w <= 0) return w == 0 ? -2 : -1;
        ssize_t r = read(fd, to + got, size - got);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
        if (to_nul && memchr(to + got - r, 0, static_cast<size_t>(r))) break;
    }
    return static_cast<ssize_t>(got);
}

void ask_end_child(pid_t pid, int grace_ms)
{
    if (pid <= 0) return;
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    if (!reaped(pid, grace_ms, &chld)) {
        kill(pid, SIGTERM);
        if (!reaped(pid, 1000, &chld)) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

int AskLink::open(const AskOptions &o, const struct timespec *deadline, char *why, size_t size)
{
    close(0);
    if (o.Socket) {
        fd_.reset(askd_connect(o.Socket, deadline, why, size));
        adt::lprintf(who_, sizeof who_, "the daemon at %s", o.Socket);
    } else if (start_child(o, deadline, why, size)) {
        adt::scpy(who_, o.Corvane, sizeof who_);
    }
    askd_reader_init(&reader_, fd_.get(), buf_, sizeof buf_);
    return fd_.ok();
}

int AskLink::start_child(const AskOptions &o, const struct timespec *deadline, char *why,
                         size_t size)
{
    int isize = static_cast<int>(size);
    if (!ask_config_safe(o.Path, o.Corvane, why, size)) return 0;
    int sv[2], p[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        adt::lprintf(why, isize, "cannot make a socket pair: %s", strerror(errno));
        return 0;
    }
    adt::Fd mine(sv[0]), theirs(sv[1]);
    if (pipe2(p, O_CLOEXEC) != 0) {
        adt::lprintf(why, isize, "cannot make a pipe: %s", strerror(errno));
        return 0;
    }
    adt::Fd status(p[0]), status_w(p[1]);
    pid_t pid = fork();
    if (pid == 0) exec_corvane(o, theirs.get(), status_w.get());
    if (pid < 0) {
        adt::lprintf(why, isize, "cannot start %s: %s", o.Corvane, strerror(errno));
        return 0;
    }
    theirs.reset();
    status_w.reset();
    ExecFailure f;
    if (ask_read_all(status.get(), &f, sizeof f, 0, deadline) == static_cast<ssize_t>(sizeof f)) {
        adt::lprintf(why, isize, f.in_dir ? "cannot enter %s: %s" : "cannot execute %s: %s",
                     f.in_dir ? o.Path : o.Corvane, strerror(f.error));
        ask_end_child(pid, 1000);
        return 0;
    }
    fd_ = std::move(mine);
    pid_ = pid;
    return 1;
}

void AskLink::forget()
{
    explicit_bzero(buf_, sizeof buf_);
    askd_reader_init(&reader_, fd_.get(), buf_, sizeof buf_);
}

void AskLink::close(int grace_ms)
{
    fd_.reset();
    forget();
    ask_end_child(pid_, grace_ms);
    pid_ = -1;
}

int AskLink::send(const char *data, size_t len, const struct timespec *deadline)
{
    return askd_send(fd_.get(), data, len, deadline);
}

int AskLink::read_line(char *line, size_t size, const struct timespec *deadline)
{
    return askd_read_line(&reader_, line, size, deadline);
}

bool AskLink::usable()
{
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    struct timespec now = askd_deadline(0);
    char line[ASKD_BUF];
    int r;
    while ((r = read_line(line, sizeof line, &now)) > 0) {
    }
    explicit_bzero(line, sizeof line);
    forget(); // and the start of a line nobody asked for either
    return r == -2;
}

int ask_once(const AskOptions *o, const char *line, const struct timespec *deadline, char *reply,
             size_t size)
{
    if (!o || !deadline || !reply || size == 0) return ASKD_NONE;
    AskLink link;
    if (!link.open(*o, deadline, reply, size)) return ASKD_NONE;
    int answer =
        askd_exchange(link.fd(), line, deadline, link.who(), nullptr, nullptr, reply, size);
    // The check is decided: a Corvane that gave no answer gets no grace.
    link.close(answer == ASKD_NONE ? 0 : ASK_GRACE);
    return answer;
}
