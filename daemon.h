// Daemon: Corvane serving many clients on a Unix stream socket (its client,
// corvane -connect, is adapters/connect.h).
//
// corvane -listen PATH starts a supervisor. Before Corvane takes on its user
// (privilege.h) it binds PATH (listener.h; mode `socket_mode`, or 0666 when
// `clients` is set and `socket_mode` is not, group `socket_group`) or takes
// the socket systemd hands it, and raises its descriptor limit to hold
// `max_clients` connections. Then it holds every client connection itself,
// in one loop over the socket, the connections, its workers' channels and
// its signals (connections.h): it admits a peer by `clients` (root always;
// a peer refused gets one line "-DEAD this client is not allowed"), sets
// its writer flag by `writers` (root always), holds at most `max_clients`
// connections and half of them per peer uid, reads whole request lines
// and writes replies in order, and hands each request line to a free
// worker (worker.h) over the worker's channel (channel.h), one at a time per
// connection. A request a worker hands back for later waits in the
// supervisor, holding no worker.
//
// The supervisor keeps `workers` workers running (by default one per CPU):
// a worker that ends is replaced, after 1 s doubling to 60 s while workers
// keep ending within a few seconds of their start; its request in hand is
// answered "-DEAD no answer: the worker serving the request ended". Every
// worker is started on the accepted configuration's bytes (snapshot.h),
// never on the file. SIGHUP judges the file again (its problems to the log
// and standard error; a file with any problem is refused and nothing
// changes); an accepted one is used by new workers, and once one of them
// serves, the old ones end after their request in hand. `user`, `group`,
// `log_dir` and the socket's settings keep their values until a restart
// (the reload says so). SIGTERM and SIGINT stop accepting and remove the
// socket file (when the daemon may), let the requests in hand be answered
// for up to 5 s, and stop every worker and module.
//
// The supervisor makes the memory its workers share (the failure counts,
// the result cache and the statistics: protect.h), sized at the start and
// kept across reloads, and hands it to every worker it starts; it counts
// the connections held and refused there.
//
// The daemon knows nothing of what the lines mean: the workers hand them to
// the command handler (request.h) with their connection's session.
#ifndef DAEMON_H
#define DAEMON_H

#include "adt/sini.h"
#include "listener.h"

// What the supervisor is started with.
struct DaemonStart {
    const char *socket_path; // -listen PATH
    const char *path;        // the configuration file, judged again at a reload
    const char *dir;         // the configuration directory
    const char *log_dir;     // where the workers' log is, until a restart
    adt::SIni config;        // the configuration accepted at start (not owned)
    int snapshot;            // its bytes (owned from here on)
    int argc;                // the command line; a worker's is it with
    char **argv;             // "-worker PID LOGDIR" added
    Listener listener;       // set by daemon_prepare
};

// Before Corvane takes on its user: binds the socket or takes it over, and
// raises the descriptor limit. 1; 0 after "-DEAD cannot listen on PATH:
// reason".
int daemon_prepare(DaemonStart *d);

// Runs the supervisor until SIGTERM or SIGINT; the exit status.
int daemon_supervise(DaemonStart *d);

#endif
