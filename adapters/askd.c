/* askd: one request to Corvane; what it keeps to is in askd.h. */
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

int askd_timeout_value(const char *text, int *ms)
{
    if (!text || !ms) return 0;
    char *end = NULL;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < 1 || v > ASKD_TIMEOUT_MAX) return 0;
    *ms = (int)v;
    return 1;
}

int askd_word_ok(const char *text)
{
    if (!text || !*text) return 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        if (*p <= ' ' || *p == 127) return 0;
    return 1;
}

int askd_address_ok(const char *text)
{
    return askd_word_ok(text) && !strchr(text, ',') && strlen(text) <= ASKD_ADDRESS_MAX;
}

int askd_check_line(char *buf, size_t size, const char *user, const char *password,
                    const char *address)
{
    if (!buf || size == 0 || !user || !password) return -1;
    int n = snprintf(buf, size, "check %s %s%s%s", user, password, address ? " " : "",
                     address ? address : "");
    if (n >= 0 && (size_t)n < size && n <= ASKD_TEXT) return n;
    explicit_bzero(buf, size);
    return -1;
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

int askd_wait(int fd, short events, const struct timespec *deadline)
{
    for (;;) {
        int left = askd_left(deadline);
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, left);
        if (r > 0) return 1;
        if (r == 0 && left == 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        if (r < 0 && errno != EINTR) return -1;
    }
}

int askd_connect(const char *path, const struct timespec *deadline, char *err, size_t size)
{
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (!path || !*path || strlen(path) >= sizeof a.sun_path || !deadline) {
        say(err, size, "socket %s: a path of at most %d bytes is needed", path ? path : "(none)",
            (int)sizeof a.sun_path - 1);
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
            if (askd_wait(fd, POLLOUT, deadline) <= 0) return 0;
        } else if (n < 0 && errno != EINTR) {
            return 0;
        }
    }
    return 1;
}

void askd_reader_init(struct askd_reader *r, int fd, char *buf, size_t size)
{
    if (!r) return;
    r->fd = fd;
    r->skip = 0;
    r->start = r->end = 0;
    r->buf = buf;
    r->size = buf ? size : 0;
}

/* Drops the first n unread bytes of r, wiping them (they may hold a password). */
static void take(struct askd_reader *r, size_t n)
{
    explicit_bzero(r->buf + r->start, n);
    r->start += n;
    if (r->start == r->end) r->start = r->end = 0;
}

/* Hands out the line of n characters at the start of what r holds (ended
 * by a line feed when lf) into line: 1, or 2 when it is cut. */
static int hand_out(struct askd_reader *r, size_t n, int lf, char *line, size_t size)
{
    size_t keep = n < size - 1 ? n : size - 1;
    memcpy(line, r->buf + r->start, keep);
    line[keep] = 0;
    take(r, n + (lf ? 1 : 0));
    r->skip = !lf;
    return lf && keep == n ? 1 : 2;
}

int askd_read_line(struct askd_reader *r, char *line, size_t size, const struct timespec *deadline)
{
    if (!line || size == 0) return -1;
    line[0] = 0;
    if (!r || !r->buf || r->size < 2 || !deadline) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        size_t held = r->end - r->start;
        char *lf = memchr(r->buf + r->start, '\n', held);
        if (r->skip) {
            take(r, lf ? (size_t)(lf - (r->buf + r->start)) + 1 : held);
            r->skip = !lf;
            if (lf) continue;
        } else if (lf) {
            return hand_out(r, (size_t)(lf - (r->buf + r->start)), 1, line, size);
        } else if (held == r->size) {
            return hand_out(r, held, 0, line, size);
        }
        if (r->end == r->size) { /* room for the rest of the line begun */
            memmove(r->buf, r->buf + r->start, held);
            explicit_bzero(r->buf + held, r->size - held);
            r->start = 0;
            r->end = held;
        }
        int w = askd_wait(r->fd, POLLIN, deadline);
        if (w <= 0) return w == 0 ? -2 : -1;
        ssize_t n = read(r->fd, r->buf + r->end, r->size - r->end);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return -1;
        if (n == 0) { /* the end: what was begun is all there is */
            held = r->skip ? 0 : r->end - r->start;
            size_t keep = held < size - 1 ? held : size - 1;
            memcpy(line, r->buf + r->start, keep);
            line[keep] = 0;
            take(r, r->end - r->start);
            return 0;
        }
        r->end += (size_t)n;
    }
}

/* 1 when line can be sent as one request: not empty, no longer than
 * ASKD_TEXT, one line. */
static int request_ok(const char *line)
{
    size_t len = line ? strlen(line) : 0;
    return len > 0 && len <= ASKD_TEXT && !memchr(line, '\n', len);
}

/* The answer to a request that is not sent: ASKD_NONE, and why. */
static int not_sent(char *reply, size_t size)
{
    say(reply, size, "request not sent: empty, over %d characters or of several lines", ASKD_TEXT);
    return ASKD_NONE;
}

int askd_exchange(int fd, const char *line, const struct timespec *deadline, const char *who,
                  void (*data)(const char *line, void *arg), void *arg, char *reply, size_t size)
{
    if (!reply || size == 0) return ASKD_NONE;
    reply[0] = 0;
    if (!request_ok(line) || !deadline) return not_sent(reply, size);
    if (!who) who = "Corvane";
    /* The request and "quit" in one send, so that Corvane reads them at
     * one wake-up; the copy is wiped, since a request may hold a password.
     * A peer that closed early may still have said why: its line is read
     * even when the request could not be sent whole. */
    char out[ASKD_TEXT + 8];
    size_t len = strlen(line);
    memcpy(out, line, len);
    memcpy(out + len, "\nquit\n", 6);
    int sent = askd_send(fd, out, len + 6, deadline);
    int send_error = errno;
    explicit_bzero(out, sizeof out);
    struct askd_reader r;
    char bf[ASKD_BUF], got[ASKD_BUF];
    askd_reader_init(&r, fd, bf, sizeof bf);
    int n;
    while ((n = askd_read_line(&r, got, sizeof got, deadline)) > 0 &&
           strncmp(got, "+DATA ", 6) == 0)
        if (data) data(got, arg);
    int answer = n > 0 ? askd_classify(got) : ASKD_NONE;
    if (answer != ASKD_NONE)
        say(reply, size, "%s", got);
    else if (n > 0)
        say(reply, size, "unexpected reply from %s: not +OK, -ERR or -DEAD", who);
    else if (!sent)
        say(reply, size, "cannot send to %s: %s", who, strerror(send_error));
    else if (n == -2)
        say(reply, size, "no reply from %s within the time-out", who);
    else if (n == 0)
        say(reply, size, "%s closed the connection without a reply", who);
    else
        say(reply, size, "cannot read the reply of %s: %m", who);
    /* What came may echo the request. */
    explicit_bzero(got, sizeof got);
    explicit_bzero(bf, sizeof bf);
    return answer;
}

int askd_ask(const struct askd_query *q, char *reply, size_t size)
{
    if (!reply || size == 0) return ASKD_NONE;
    reply[0] = 0;
    if (!q || !q->socket) {
        say(reply, size, "no socket named");
        return ASKD_NONE;
    }
    if (!request_ok(q->line)) return not_sent(reply, size);
    struct timespec deadline = askd_deadline(q->timeout_ms);
    int fd = askd_connect(q->socket, &deadline, reply, size);
    if (fd < 0) return ASKD_NONE;
    char who[ASKD_BUF];
    snprintf(who, sizeof who, "the daemon at %s", q->socket);
    int answer = q->peer_user && !askd_peer_is(fd, q->peer_user, reply, size)
                     ? ASKD_NONE
                     : askd_exchange(fd, q->line, &deadline, who, NULL, NULL, reply, size);
    close(fd);
    return answer;
}
