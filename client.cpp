// Client: a caller's connection, read and written with buffers of its own.
#include "client.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "adt/spawn.h"

volatile sig_atomic_t client_stop = 0;

void client_init(Client *c, int in, int out, int timeout_ms)
{
    if (!c) return;
    c->In = in;
    c->Out = out;
    c->Timeout = timeout_ms;
    c->Why = END_INPUT;
    c->Broken = 0;
    c->WholeLines = 0;
    c->RPos = c->RLen = c->WLen = 0;
}

// When a wait of c's that starts now ends: null for none.
static const struct timespec *deadline_of(const Client *c, struct timespec *at)
{
    if (c->Timeout < 0) return nullptr;
    *at = adt::spawn_deadline(c->Timeout);
    return at;
}

// Waits until fd is ready for events or the deadline (null: none) passes;
// with a deadline (a daemon's client) in steps of at most a second, so that
// a client_stop that came just before a wait is seen soon. 1 ready, 0 at
// the deadline, -1 on client_stop or an error.
static int wait_for(int fd, short events, const struct timespec *deadline)
{
    for (;;) {
        if (client_stop) return -1;
        long long left = deadline ? adt::spawn_left(deadline) : -1;
        if (left == 0) return 0;
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, left < 0 ? -1 : static_cast<int>(left > 1000 ? 1000 : left));
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
}

int client_flush(Client *c)
{
    if (!c) return 0;
    struct timespec at;
    const struct timespec *deadline = deadline_of(c, &at);
    size_t done = 0;
    while (!c->Broken && done < c->WLen) {
        ssize_t w = write(c->Out, c->W + done, c->WLen - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && errno == EAGAIN) {
            // A caller that does not read: the socket buffer is full.
            int r = wait_for(c->Out, POLLOUT, deadline);
            if (r <= 0) {
                c->Broken = 1;
                c->Why = r == 0 ? END_STALLED : END_STOP;
            }
        } else if (!(w < 0 && errno == EINTR)) {
            c->Broken = 1;
            c->Why = END_GONE;
        }
    }
    c->WLen = 0;
    return !c->Broken;
}

// Adds len bytes to the output, writing it whenever the buffer is full.
static void put(Client *c, const char *data, size_t len)
{
    while (len > 0 && !c->Broken) {
        if (c->WLen == sizeof c->W) client_flush(c);
        size_t n = sizeof c->W - c->WLen;
        if (n > len) n = len;
        memcpy(c->W + c->WLen, data, n);
        c->WLen += n;
        data += n;
        len -= n;
    }
}

void client_line(Client *c, const char *lead, const char *text)
{
    if (!c) return;
    put(c, lead ? lead : "", lead ? strlen(lead) : 0);
    put(c, text ? text : "", text ? strlen(text) : 0);
    put(c, "\n", 1);
}

void client_reply_done(Client *c)
{
    if (c && !memchr(c->R + c->RPos, '\n', c->RLen - c->RPos)) client_flush(c);
}

// Reads more input once the read-ahead is used up, writing the collected
// output first: Corvane is about to wait. 0 when none comes (Why says why).
static int fill(Client *c)
{
    if (!client_flush(c)) return 0;
    c->RPos = c->RLen = 0;
    struct timespec at;
    const struct timespec *deadline = deadline_of(c, &at);
    for (;;) {
        int r = wait_for(c->In, POLLIN, deadline);
        if (r <= 0) {
            c->Why = r == 0 ? END_IDLE : (client_stop ? END_STOP : END_GONE);
            return 0;
        }
        ssize_t n = read(c->In, c->R, sizeof c->R);
        if (n > 0) {
            c->RLen = static_cast<size_t>(n);
            return 1;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        c->Why = n == 0 ? END_INPUT : END_GONE;
        return 0;
    }
}

// The next byte of input, or -1 when none comes.
static int next_byte(Client *c)
{
    if (c->RPos == c->RLen && !fill(c)) return -1;
    return static_cast<unsigned char>(c->R[c->RPos++]);
}

// Whether a last line that the end of input cut off is run: not when the
// caller must end its lines (it is then taken as gone).
static int unended_line_runs(Client *c)
{
    if (c->Why == END_INPUT && c->WholeLines) c->Why = END_GONE;
    return c->Why == END_INPUT;
}

int client_read_line(Client *c, char *line, int bfsz)
{
    if (!c || !line || bfsz < 3) return -1;
    int n = 0, ch = -1;
    while (n < bfsz - 2 && (ch = next_byte(c)) >= 0) {
        line[n++] = static_cast<char>(ch);
        if (ch == '\n') break;
    }
    line[n] = 0;
    // A line cut off by anything but the end of input is not a command.
    if (ch < 0 && (n == 0 || !unended_line_runs(c))) return -1;
    if (ch == '\n' || ch < 0) return 1;
    // The buffer is full: the line feed may still be the next byte.
    ch = next_byte(c);
    if (ch == '\n' || (ch < 0 && unended_line_runs(c))) {
        line[n] = static_cast<char>(ch == '\n' ? '\n' : 0);
        line[n + 1] = 0;
        return 1;
    }
    while (ch >= 0 && ch != '\n') ch = next_byte(c);
    return ch < 0 && c->Why != END_INPUT ? -1 : 0;
}
