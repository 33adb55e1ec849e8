// Request: what the command handler is given and gives back, the contract
// between whoever holds a client's connection (the command loop on
// standard input, a daemon) and the handler that answers its lines.
//
// The holder reads one complete request line of a client and hands it over
// with the client's session and a sink for the reply; the handler answers
// it there (a search writes its "+DATA " lines first), or says that it is
// to be served again later. The handler knows nothing of connections,
// sockets or processes: a daemon may hand the line to the handler in
// another process and carry the reply lines back, so long as it keeps each
// request's session and sink with it.
#ifndef REQUEST_H
#define REQUEST_H

#include <ctime>
#include <sys/types.h>

#include "adt/wire.h"

// Who asks, as the holder of the connection established it.
struct Session {
    int writer;     // 1: may set, del and search; else those get "-ERR %s not allowed for
                    // this client"
    int connection; // 1: one connection of a daemon: quit (and the end of its input) ends
                    // only it, with "+OK bye", and the modules get no quit
    uid_t uid;      // the peer's ids as the kernel reported them; -1 when unknown
    gid_t gid;
    pid_t pid;
    const char *address; // the client's network address, when it has one; else null
};

// Where a reply goes: each line is queued, then the sink is told that a
// line is complete, so that it can send what it holds.
class ReplySink
{
  public:
    virtual ~ReplySink() = default;
    // Queues lead (may be "") and text as one line; the sink adds the line feed.
    virtual void line(const char *lead, const char *text) = 0;
    // A reply or data line is complete: the sink may send now.
    virtual void flush() = 0;
};

// One request line of a client and where it stands.
struct Request {
    const Session *session;     // not owned; outlives the request
    ReplySink *reply;           // not owned; outlives the request
    char line[adt::WIRE_BUF];   // the line, with or without its line end; not changed
    struct timespec not_before; // after SERVE_LATER: the moment to serve it again
    int step;                   // the handler's own; 0 for a new request
};

// What became of a request.
enum Served {
    SERVED,      // its reply is written
    SERVED_LAST, // its reply is written and the client's session ends (quit)
    SERVE_LATER  // nothing written yet: hand the same request again at not_before; the
                 // holder serves other requests meanwhile
};

// The command handler: serves one request line (commands.h). Replies go to
// the request's sink only, and to nothing else.
typedef Served (*CommandHandler)(Request *r);

#endif
