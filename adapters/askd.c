/* askd: one request to Corvane's daemon; what it keeps to is in askd.h. */
#define _GNU_SOURCE
#include "adapters/askd.h"

#include <errno.h>
#include <poll.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

/* A failure's reason into the caller's buffer, when there is one. */
__attribute__((format(printf, 3, 4))) static void say(char *err, size_t size, const char *format,
                                                      ...)
{
    if (!err || size == 0) return;
    va_list ap;
    va_start(ap, format);
    vsnprintf(err, size, format, ap);
    va_end(ap);
}

/* 1 when line is word alone or followed by a blank. */
static int reply_is(const char *line, const char *word)
{
    size_t n = strlen(word);
    return strncmp(line, word, n) == 0 && (line[n] == 0 || line[n] == ' ');
}

int askd_classify(const char *line)
{
    if (!line) return ASKD_NONE;
    if (reply_is(line, "+OK")) return ASKD_OK;
    if (reply_is(line, "-ERR")) return ASKD_ERR;
    if (reply_is(line, "-DEAD")) return ASKD_DEAD;
    return ASKD_NONE;
}

int askd_holds(const char *text, const char *secret)
{
    return text && secret && *secret && strstr(text, secret);
}

struct timespec askd_deadline(int ms)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    if (ms < 0) ms = 0;
    t.tv_sec += ms / 1000;
    t.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

int askd_left(const struct timespec *deadline)
{
    if (!deadline) return 0;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = (long long)(deadline->tv_sec - now.tv_sec) * 1000000000LL +
                   (deadline->tv_nsec - now.tv_nsec);
    if (ns <= 0) return 0;
    long long ms = (ns + 999999) / 1000000; /* a part of a millisecond still counts */
    return ms > ASKD_TIMEOUT_MAX ? ASKD_TIMEOUT_MAX : (int)ms;
}

/* Waits until fd is ready for events or deadline passes: 1 ready, 0 at the
 * deadline (errno ETIMEDOUT), -1 on an error. */
static int wait_for(int fd, short events, const struct timespec *deadline)
{
    for (;;) {
        int left = askd_left(deadline);
        if (left <= 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, left);
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
}

int askd_connect(const char *path, const struct timespec *deadline, char *err, size_t size)
{
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (!path || path[0] != '/' || strlen(path) >= sizeof a.sun_path || !deadline) {
        say(err, size, "socket %s: an absolute path of at most %d bytes is needed",
            path ? path : "(none)", (int)sizeof a.sun_path - 1);
        return -1;
    }
    memcpy(a.sun_path, path, strlen(path) + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        say(err, size, "cannot make a socket: %m");
        return -1;
    }
    for (;;) {
        int left = askd_left(deadline);
        if (left <= 0) {
            errno = ETIMEDOUT;
            break;
        }
        /* A connection to a daemon whose backlog is full waits for room: no
         * longer than the time left. */
        struct timeval tv = {left / 1000, (left % 1000) * 1000};
        if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) break;
        if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0 || errno == EISCONN) return fd;
        if (errno != EINTR) break;
    }
    int e = errno;
    close(fd);
    if (e == EAGAIN || e == ETIMEDOUT)
        say(err, size, "cannot connect to %s: the daemon took no connection in time", path);
    else
        say(err, size, "cannot connect to %s: %s", path, strerror(e));
    errno = e;
    return -1;
}

int askd_peer_uid(int fd, uid_t *uid)
{
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (!uid || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return 0;
    *uid = cred.uid;
    return 1;
}

/* The uid that user names (a decimal uid, or a user's name) in *uid: 1, or
 * 0 when it names none. */
static int uid_of(const char *user, uid_t *uid)
{
    char *end = NULL;
    errno = 0;
    unsigned long n = strtoul(user, &end, 10);
    if (end != user && !*end && !errno && n < (unsigned long)(uid_t)-1) {
        *uid = (uid_t)n;
        return 1;
    }
    struct passwd pw, *found = NULL;
    char bf[16384];
    if (getpwnam_r(user, &pw, bf, sizeof bf, &found) != 0 || !found) return 0;
    *uid = found->pw_uid;
    return 1;
}

int askd_peer_is(int fd, const char *user, char *err, size_t size)
{
    uid_t peer, wanted;
    if (!askd_peer_uid(fd, &peer)) {
        say(err, size, "cannot tell which user the daemon runs as: %m");
        return 0;
    }
    if (peer == 0) return 1;
    int known = user && *user && uid_of(user, &wanted);
    if (known && peer == wanted) return 1;
    say(err, size, "the daemon runs as uid %u, neither root nor %s%s: not trusted", (unsigned)peer,
        user ? user : "(none)", known || !user ? "" : " (no such user)");
    return 0;
}

int askd_send(int fd, const char *data, size_t len, const struct timespec *deadline)
{
    if (!data || !deadline) {
        errno = EINVAL;
        return 0;
    }
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            len -= (size_t)n;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_for(fd, POLLOUT, deadline) <= 0) return 0;
        } else if (n < 0 && errno != EINTR) {
            return 0;
        }
    }
    return 1;
}

void askd_reader_init(struct askd_reader *r, int fd)
{
    if (!r) return;
    r->fd = fd;
    r->start = r->end = 0;
}

int askd_read_line(struct askd_reader *r, char *line, size_t size, const struct timespec *deadline)
{
    if (!r || !line || size == 0 || !deadline) {
        errno = EINVAL;
        return -1;
    }
    size_t got = 0;
    for (;;) {
        while (r->start < r->end) {
            char c = r->buf[r->start++];
            if (c == '\n') {
                line[got] = 0;
                return 1;
            }
            if (got + 1 < size) line[got++] = c;
        }
        line[got] = 0;
        r->start = r->end = 0;
        int w = wait_for(r->fd, POLLIN, deadline);
        if (w <= 0) return w == 0 ? -2 : -1;
        ssize_t n = read(r->fd, r->buf, sizeof r->buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return (int)n; /* 0: the end; -1: an error */
        r->end = (size_t)n;
    }
}

/* The exchange of askd_ask on the connected fd: the class of the reply,
 * the reply line or the reason in reply. */
static int exchange(int fd, const struct askd_query *q, const struct timespec *deadline,
                    char *reply, size_t size)
{
    if (q->peer_user && !askd_peer_is(fd, q->peer_user, reply, size)) return ASKD_NONE;
    /* The request and "quit" in one send, so that the daemon reads them at
     * one wake-up; the copy is wiped, since a request may hold a password.
     * A daemon that closed early may still have said why: its line is read
     * even when the request could not be sent whole. */
    char out[ASKD_TEXT + 8];
    size_t len = strlen(q->line);
    memcpy(out, q->line, len);
    memcpy(out + len, "\nquit\n", 6);
    int sent = askd_send(fd, out, len + 6, deadline);
    int send_error = errno;
    explicit_bzero(out, sizeof out);
    struct askd_reader r;
    char line[ASKD_BUF];
    askd_reader_init(&r, fd);
    int got = askd_read_line(&r, line, sizeof line, deadline);
    int answer = got == 1 ? askd_classify(line) : ASKD_NONE;
    if (answer != ASKD_NONE)
        say(reply, size, "%s", line);
    else if (got == 1)
        say(reply, size, "unexpected reply from the daemon at %s: not +OK, -ERR or -DEAD",
            q->socket);
    else if (!sent)
        say(reply, size, "cannot send to the daemon at %s: %s", q->socket, strerror(send_error));
    else if (got == -2)
        say(reply, size, "no reply from the daemon at %s within %d ms", q->socket, q->timeout_ms);
    else if (got == 0)
        say(reply, size, "the daemon at %s closed the connection without a reply", q->socket);
    else
        say(reply, size, "cannot read the reply of the daemon at %s: %m", q->socket);
    /* What came may echo the request. */
    explicit_bzero(line, sizeof line);
    explicit_bzero(&r, sizeof r);
    return answer;
}

int askd_ask(const struct askd_query *q, char *reply, size_t size)
{
    if (!reply || size == 0) return ASKD_NONE;
    reply[0] = 0;
    if (!q || !q->socket || !q->line) {
        say(reply, size, "no socket or no request");
        return ASKD_NONE;
    }
    size_t len = strlen(q->line);
    if (len == 0 || len > ASKD_TEXT || memchr(q->line, '\n', len)) {
        say(reply, size, "request not sent: empty, over %d characters or of several lines",
            ASKD_TEXT);
        return ASKD_NONE;
    }
    struct timespec deadline = askd_deadline(q->timeout_ms);
    int fd = askd_connect(q->socket, &deadline, reply, size);
    if (fd < 0) return ASKD_NONE;
    int answer = exchange(fd, q, &deadline, reply, size);
    close(fd);
    return answer;
}
