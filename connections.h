// Connection: one client of the daemon as the supervisor holds it. Its
// bytes are read into whole request lines, taken one at a time in order;
// its replies are queued and written as the client makes room; and it has
// three time limits, each `client_timeout` long: a request line must be
// complete within it from its first byte, a connection with nothing to do
// may be idle for it between requests, and queued replies may wait for it
// without the client reading any of them. Nothing here holds a worker.
#ifndef CONNECTIONS_H
#define CONNECTIONS_H

#include <cstdint>
#include <ctime>
#include <deque>
#include <string>

#include "peers.h"

// Most bytes of input held (whole lines and the line begun); the client is
// read no further until lines are taken.
inline constexpr size_t CONN_IN = 8192;
// Output held beyond this: the replies being made for the connection wait
// until the client has read some.
inline constexpr size_t CONN_OUT_HIGH = 262144;

// Where a connection's request stands.
enum ConnState {
    CONN_IDLE,    // none: the next line may be taken
    CONN_WAITING, // taken, waiting for a free worker
    CONN_SERVING, // on a worker
    CONN_LATER    // handed back by its worker, to be served again at not_before
};

struct Connection {
    uint64_t id = 0;
    int fd = -1;
    Peer peer;
    bool writer = false;

    // Input.
    std::deque<std::string> lines; // whole lines, line feed included; "" for one too long
    std::string partial;           // the line begun
    size_t held = 0;               // bytes in lines and partial
    bool discarding = false;       // inside a line too long, dropped up to its line feed
    bool eof = false;              // the client ended its input
    bool paused = false;           // not read while its input is full
    struct timespec line_since;    // the first byte of the line begun came

    // Output.
    std::string out;
    size_t sent = 0;           // bytes of out already written
    struct timespec out_since; // the client last made room (or output began)

    // The request in hand.
    ConnState state = CONN_IDLE;
    uint64_t request = 0; // its number, while on a worker
    std::string line;     // its line
    int step = 0;         // the handler's step
    struct timespec not_before;

    bool closing = false;       // its session ended: closed once its output is written
    struct timespec idle_since; // its last activity
    int watched = -1;           // the events its socket is watched for; -1: not watched
};

// Prepares c for the accepted socket fd.
void conn_init(Connection *c, uint64_t id, int fd);

// Reads what the client sent, while input has room. 0 when the socket
// failed (the client is gone).
int conn_read(Connection *c);
// 1 when c should be read (input has room, more may come).
int conn_wants_input(const Connection *c);
// 1 when a line begun has not been completed.
int conn_in_line(const Connection *c);

// Takes the next whole line into *line: 1; 2 for a line too long (its
// reply is "-ERR Line too long"); 0 when there is none.
int conn_take(Connection *c, std::string *line);

// Queues text (whole lines) for the client.
void conn_put(Connection *c, const char *text, size_t len);
// Writes what the client has room for. 0 when the socket failed.
int conn_write(Connection *c);
// Bytes queued and not yet written.
size_t conn_pending(const Connection *c);

// Why c has run out of time with the limit of timeout_ms ("idle", "was
// sending one line", "left its replies unread"), or null while it has not; then
// *left_ms is lowered to the milliseconds until it would.
const char *conn_expired(const Connection *c, int timeout_ms, long long *left_ms);

#endif
