/* askd: one request to Corvane, in plain C, for life inside other
 * programs' processes: the PAM module in sshd, login, Dovecot's auth
 * worker or Apache; and the part of the adapters and of `corvane -connect`
 * that connects, sends, reads a reply and classifies it.
 *
 * The daemon (`corvane -listen SOCKET`) serves the standard-input protocol
 * on each connection: a request is one line ("check USER PASSWORD
 * [ADDRESS]", "lookup USER", "set USER PASSWORD", ...), its reply one line
 * that begins with "+OK", "-ERR" or "-DEAD" (a search streams "+DATA "
 * lines first); "quit" or the end of the client's input ends the
 * connection with "+OK bye". A Corvane child speaks the same on its
 * standard input and output.
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
 * caller. Callers that send passwords wipe their own buffers; askd_exchange
 * wipes its copy of the request, and no reply buffer holds what was sent.
 *
 * All functions accept null arguments and answer with a neutral result. */
#ifndef ADAPTERS_ASKD_H
#define ADAPTERS_ASKD_H

#include <stddef.h>
#include <sys/types.h>
#include <time.h>

#include "adt/wire.h"

/* CORVANE_SOCKET, the daemon's socket when none is named, for every client
 * of it, comes from the build (cmake/paths.cmake). */

#ifdef __cplusplus
extern "C" {
#endif

enum {
    /* Characters of a request or reply line before its line feed, and a
     * buffer that holds any line: Corvane's own limits (adt/wire.h). A
     * longer request is refused whole rather than cut. */
    ASKD_TEXT = ADT_WIRE_TEXT,
    ASKD_BUF = ADT_WIRE_BUF,
    /* The longest time-out a caller may give, in milliseconds. */
    ASKD_TIMEOUT_MAX = 3600000,
    /* The longest client address passed on. */
    ASKD_ADDRESS_MAX = 255,
};

/* What a reply says. */
enum askd_answer {
    ASKD_OK = 0,   /* "+OK": accepted, found, done */
    ASKD_ERR = 1,  /* "-ERR": refused (wrong password, unknown user, not allowed) */
    ASKD_DEAD = 2, /* "-DEAD": Corvane cannot answer for now; try again later */
    ASKD_NONE = 3, /* no reply, or a line that is none of these: Corvane could not be asked */
};

/* The class of a reply line: ASKD_OK, ASKD_ERR or ASKD_DEAD when it is
 * "+OK", "-ERR" or "-DEAD" alone or followed by a blank; ASKD_NONE for
 * anything else (null included). */
int askd_classify(const char *line);

/* 1 when text holds secret anywhere, as a word or inside one (a module
 * that echoes its request): a reply that does is never shown or logged. */
int askd_holds(const char *text, const char *secret);

/* 1 when text is a time-out: a whole decimal number of milliseconds from
 * 1 to ASKD_TIMEOUT_MAX, then in *ms; else 0 and *ms is left alone. */
int askd_timeout_value(const char *text, int *ms);

/* 1 when text can travel as one word of a request: not empty, no blank
 * and no control character (which would split the line or end it). */
int askd_word_ok(const char *text);

/* 1 when text may be passed on as a client's address: one word, no comma
 * (Corvane would read a list of addresses), at most ASKD_ADDRESS_MAX
 * characters. */
int askd_address_ok(const char *text);

/* Writes the request "check USER PASSWORD[ ADDRESS]" (address may be null)
 * into buf (capacity size): its length; -1 when it does not fit size or
 * a request line (ASKD_TEXT), and buf is then wiped, since a request cut
 * short would send a wrong password, or none. The caller wipes buf. */
int askd_check_line(char *buf, size_t size, const char *user, const char *password,
                    const char *address);

/* The deadline ms milliseconds from now on the monotonic clock (a
 * negative ms counts as 0), and the whole milliseconds left until it: 0
 * once it passed, never more than ASKD_TIMEOUT_MAX. */
struct timespec askd_deadline(int ms);
int askd_left(const struct timespec *deadline);

/* Waits until fd is ready for events (poll's) or deadline passes; once it
 * passed, fd is still looked at without waiting. 1 ready; 0 at the deadline
 * (errno ETIMEDOUT); -1 on an error. */
int askd_wait(int fd, short events, const struct timespec *deadline);

/* Connects to the Unix stream socket at path (shorter than a socket
 * address holds) before deadline; a daemon whose backlog is full is
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

/* Sends the len bytes of data whole on the socket fd before deadline: 1,
 * or 0 with errno set (ETIMEDOUT at the deadline, EPIPE when the peer is
 * gone). */
int askd_send(int fd, const char *data, size_t len, const struct timespec *deadline);

/* Reads lines from one descriptor into a buffer of the caller's. What
 * arrives after a line stays there for the next call, and a line not yet
 * whole when a call gives up stays there too, so that a reader can be
 * called whenever its descriptor is ready. */
struct askd_reader {
    int fd;
    int skip;          /* 1: the rest of a line handed out cut is dropped */
    size_t start, end; /* the unread bytes are buf[start] to buf[end - 1] */
    size_t size;       /* capacity of buf */
    char *buf;         /* the caller's, who wipes it */
};

/* Makes r read from fd into buf (capacity size, at least 2), both of which
 * stay the caller's; also forgets what r held before. */
void askd_reader_init(struct askd_reader *r, int fd, char *buf, size_t size);

/* The next line into line (capacity size), without its line feed. 1 for a
 * line. 2 for one longer than the reader's buffer holds (size - 1
 * characters) or than line does: its start, cut there, as soon as the
 * buffer is full, and the rest of it is skipped. 0 when the input ended
 * first (the part of a line read is in line); -1 on an error (errno set);
 * -2 when deadline passed first (a line that has begun stays held); line
 * is then empty. A deadline that has passed still takes what is there
 * without waiting. */
int askd_read_line(struct askd_reader *r, char *line, size_t size, const struct timespec *deadline);

/* One request on the connected fd (to a daemon, or a Corvane child's
 * standard input and output): sends line and "quit", reads the reply line
 * before deadline and classifies it (enum askd_answer). "+DATA " lines
 * before it (a search's) are handed to data(line, arg) when data is set,
 * else skipped. reply (capacity size) holds the reply line, or with
 * ASKD_NONE the reason no answer came: the request was not sent (empty,
 * longer than ASKD_TEXT, several lines, or the peer is gone), none came in
 * time, who (the peer's name in the reason: "the daemon at PATH", a
 * program) closed the connection first, or it was none of "+OK", "-ERR"
 * and "-DEAD" (then it is not repeated: it may echo the request). fd stays
 * the caller's. */
int askd_exchange(int fd, const char *line, const struct timespec *deadline, const char *who,
                  void (*data)(const char *line, void *arg), void *arg, char *reply, size_t size);

/* One question to the daemon, as askd_ask asks it. */
struct askd_query {
    const char *socket;    /* the daemon's socket */
    const char *line;      /* the request, without its line feed */
    int timeout_ms;        /* for the whole exchange, connection included */
    const char *peer_user; /* null: any daemon; else it must run as root or as
                              this user (askd_peer_is) */
};

/* Connects to q->socket, checks the daemon's user when q->peer_user names
 * one, makes the exchange of askd_exchange within q->timeout_ms and closes
 * the connection. The class of the answer; reply as for askd_exchange,
 * also with the reason when the daemon cannot be reached or runs as a user
 * not trusted. A request that is empty, longer than ASKD_TEXT or holds a
 * line feed is not sent: ASKD_NONE. */
int askd_ask(const struct askd_query *q, char *reply, size_t size);

#ifdef __cplusplus
}
#endif

#endif
