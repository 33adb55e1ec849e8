// Connection: a client's lines in, its replies out, its time limits.
#include "connections.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "adt/spawn.h"
#include "adt/wire.h"

using namespace adt;

namespace
{

// The most characters of a request line before its line feed: longer lines
// are refused whole.
const size_t MAX_LINE = WIRE_BUF - 2;

// Adds n bytes the client sent to its lines.
void take_bytes(Connection *c, const char *data, size_t n)
{
    while (n > 0) {
        const char *lf = static_cast<const char *>(memchr(data, '\n', n));
        size_t piece = lf ? static_cast<size_t>(lf - data) : n;
        if (!conn_in_line(c) && piece > 0) c->line_since = spawn_deadline(0);
        if (!c->discarding) {
            c->partial.append(data, piece);
            c->held += piece;
        }
        if (c->partial.size() > MAX_LINE) { // dropped up to its end
            c->held -= c->partial.size();
            c->partial.clear();
            c->discarding = true;
        }
        if (!lf) return;
        if (c->discarding) {
            c->lines.emplace_back();
        } else {
            c->lines.push_back(c->partial + "\n");
            c->held++;
        }
        c->partial.clear();
        c->discarding = false;
        data += piece + 1;
        n -= piece + 1;
    }
}

} // namespace

void conn_init(Connection *c, uint64_t id, int fd)
{
    *c = Connection();
    c->id = id;
    c->fd = fd;
    c->idle_since = c->out_since = c->line_since = spawn_deadline(0);
}

int conn_in_line(const Connection *c)
{
    return !c->partial.empty() || c->discarding;
}

int conn_wants_input(const Connection *c)
{
    return !c->eof && !c->closing && c->held < CONN_IN;
}

int conn_read(Connection *c)
{
    char bf[CONN_IN];
    while (conn_wants_input(c)) {
        if (c->paused && conn_in_line(c)) c->line_since = spawn_deadline(0); // the wait was ours
        c->paused = false;
        ssize_t n = read(c->fd, bf, CONN_IN - c->held);
        if (n > 0) {
            take_bytes(c, bf, static_cast<size_t>(n));
            c->idle_since = spawn_deadline(0);
        } else if (n == 0) {
            c->eof = true;
        } else if (errno == EAGAIN) {
            return 1;
        } else if (errno != EINTR) {
            return 0;
        }
    }
    c->paused = !c->eof && !c->closing;
    return 1;
}

int conn_take(Connection *c, std::string *line)
{
    if (c->lines.empty()) return 0;
    *line = std::move(c->lines.front());
    c->lines.pop_front();
    c->held -= line->size();
    return line->empty() ? 2 : 1;
}

void conn_put(Connection *c, const char *text, size_t len)
{
    if (conn_pending(c) == 0) c->out_since = spawn_deadline(0);
    c->out.append(text, len);
}

size_t conn_pending(const Connection *c)
{
    return c->out.size() - c->sent;
}

int conn_write(Connection *c)
{
    while (conn_pending(c) > 0) {
        ssize_t n = write(c->fd, c->out.data() + c->sent, conn_pending(c));
        if (n > 0) {
            c->sent += static_cast<size_t>(n);
            c->out_since = c->idle_since = spawn_deadline(0);
        } else if (n < 0 && errno == EAGAIN) {
            break;
        } else if (!(n < 0 && errno == EINTR)) {
            return 0;
        }
    }
    if (c->sent == c->out.size()) {
        c->out.clear();
        c->sent = 0;
    } else if (c->sent > CONN_OUT_HIGH) {
        c->out.erase(0, c->sent);
        c->sent = 0;
    }
    return 1;
}

const char *conn_expired(const Connection *c, int timeout_ms, long long *left_ms)
{
    const struct timespec *since = nullptr;
    const char *why = nullptr;
    if (conn_pending(c) > 0) {
        since = &c->out_since, why = "left its replies unread";
    } else if (conn_in_line(c) && !c->paused) {
        since = &c->line_since, why = "was sending one line";
    } else if (c->state == CONN_IDLE && c->lines.empty() && !c->eof && !c->closing) {
        since = &c->idle_since, why = "idle";
    }
    if (!since) return nullptr;
    long long left = timeout_ms - spawn_elapsed(since);
    if (left <= 0) return why;
    if (left < *left_ms) *left_ms = left;
    return nullptr;
}
