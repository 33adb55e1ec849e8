/* askd: one request to Corvane's daemon over its Unix socket, in plain C,
 * for life inside other programs' processes: the PAM module in sshd, login,
 * Dovecot's auth worker or Apache, and the adapters and `corvane -connect`.
 *
 * The daemon (`corvane -listen SOCKET`) serves the standard-input protocol
 * on each connection: a request is one line ("check USER PASSWORD
 * [ADDRESS]", "lookup USER", "set USER PASSWORD", ...), its reply one line
 * that begins with "+OK", "-ERR" or "-DEAD" (a search streams "+DATA "
 * lines first); "quit" or the end of the client's input ends the
 * connection with "+OK bye".
 *
 * What every function here keeps to, so that a host process is never
 * disturbed: no global or static state (two callers in one process share
 * nothing but what they hand in); no signal disposition touched and no
 * signal raised (every send is MSG_NOSIGNAL); no thread; no memory
 * allocated of its own (a user looked up by name goes through the C
 * library's getpwnam_r); nothing written to any descriptor but the connection (no log,
 * no standard error: a failure's reason goes to the caller's buffer, in the
 * administrator's words); a system call interrupted by a signal (EINTR) is
 * made again against the same deadline; every descriptor is opened
 * close-on-exec and closed by the call that opened it unless handed to the
 * caller. Callers that send passwords wipe their own buffers; askd_ask
 * wipes its copy of the request, and no reply buffer holds what was sent.
 *
 * All functions accept null arguments and answer with a neutral result. */
#ifndef ADAPTERS_ASKD_H
#define ADAPTERS_ASKD_H

#include <stddef.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    /* Characters of a request or reply line before its line feed: Corvane's
     * own limit. A longer request is refused whole rather than cut. */
    ASKD_TEXT = 997,
    /* A buffer that holds any line, its NUL and one byte more. */
    ASKD_BUF = 1000,
    /* The longest time-out a caller may give, in milliseconds. */
    ASKD_TIMEOUT_MAX = 3600000,
};

/* What a reply says. */
enum askd_answer {
    ASKD_OK = 0,   /* "+OK": accepted, found, done */
    ASKD_ERR = 1,  /* "-ERR": refused (wrong password, unknown user, not allowed) */
    ASKD_DEAD = 2, /* "-DEAD": Corvane cannot answer for now; try again later */
    ASKD_NONE = 3, /* no reply, or a line that is none of these: the daemon could not be asked */
};

/* The class of a reply line: ASKD_OK, ASKD_ERR or ASKD_DEAD when it is
 * "+OK", "-ERR" or "-DEAD" alone or followed by a blank; ASKD_NONE for
 * anything else (null included). */
int askd_classify(const char *line);

/* 1 when text holds secret anywhere, as a word or inside one (a module
 * that echoes its request): a reply that does is never shown or logged. */
int askd_holds(const char *text, const char *secret);

/* The deadline ms milliseconds from now on the monotonic clock (a
 * negative ms counts as 0), and the whole milliseconds left until it: 0
 * once it passed, never more than ASKD_TIMEOUT_MAX. */
struct timespec askd_deadline(int ms);
int askd_left(const struct timespec *deadline);

/* Connects to the Unix stream socket at path (absolute, shorter than a
 * socket address holds) before deadline; a daemon whose backlog is full is
 * waited for no longer. The connected descriptor, close-on-exec, owned by
 * the caller; or -1 with the reason in err (capacity size). */
int askd_connect(const char *path, const struct timespec *deadline, char *err, size_t size);

/* The user id of the process at the other end of the connected Unix socket
 * fd (SO_PEERCRED: its effective uid when it connected) in *uid: 1, or 0
 * when it cannot be had. */
int askd_peer_uid(int fd, uid_t *uid);

/* 1 when the peer of fd runs as root or as user (a user name, or a
 * decimal uid); the name is looked up only for a peer that is not root,
 * and a name no user has admits root alone. 0 with the reason in err
 * (capacity size) otherwise. */
int askd_peer_is(int fd, const char *user, char *err, size_t size);

/* Sends the len bytes of data whole on fd before deadline: 1, or 0 with
 * errno set (ETIMEDOUT at the deadline, EPIPE when the daemon is gone). */
int askd_send(int fd, const char *data, size_t len, const struct timespec *deadline);

/* Reads lines from one connection. What arrives after a line stays in the
 * reader for the next call, so that several replies can be read in turn. */
struct askd_reader {
    int fd;
    size_t start, end; /* the unread bytes are buf[start] to buf[end - 1] */
    char buf[ASKD_BUF];
};

/* Makes r read from fd (which stays the caller's). */
void askd_reader_init(struct askd_reader *r, int fd);

/* The next line into line (capacity size), without its line feed: a line
 * longer than size - 1 is cut there and the rest of it skipped. 1 for a
 * whole line; 0 when the input ended first (the part read is in line); -1
 * on an error (errno set); -2 when deadline passed first. */
int askd_read_line(struct askd_reader *r, char *line, size_t size, const struct timespec *deadline);

/* One question to the daemon, as askd_ask asks it. */
struct askd_query {
    const char *socket;    /* the daemon's socket */
    const char *line;      /* the request, without its line feed */
    int timeout_ms;        /* for the whole exchange, connection included */
    const char *peer_user; /* null: any daemon; else it must run as root or as
                              this user (askd_peer_is) */
};

/* Connects to q->socket, checks the daemon's user when q->peer_user names one,
 * sends q->line and "quit", reads the first reply line within q->timeout_ms
 * and closes the connection. Its class (enum askd_answer) is the result;
 * reply (capacity size) holds the reply line, or with ASKD_NONE the reason
 * no answer came: the daemon cannot be reached, runs as a user not trusted,
 * did not answer in time, closed the connection, or sent a line none of
 * "+OK", "-ERR" and "-DEAD" (which is not repeated: it may echo the request). A request that is
 * empty, longer than ASKD_TEXT or holds a line feed is not sent: ASKD_NONE. */
int askd_ask(const struct askd_query *q, char *reply, size_t size);

#ifdef __cplusplus
}
#endif

#endif
