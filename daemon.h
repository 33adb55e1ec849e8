// Daemon: Corvane serving many clients on a Unix stream socket (its client,
// corvane -connect, is adapters/connect.h).
//
// corvane -listen PATH starts a supervisor: it binds PATH with the mode and
// group of `socket_mode` and `socket_group`, set once while the socket lies
// in a private directory beside PATH (or takes the socket systemd hands it
// on descriptor 3 when LISTEN_FDS is 1 and LISTEN_PID is its process id),
// starts `workers` worker processes and keeps them running: a worker that
// ends is replaced, after 1 s doubling to 60 s while workers keep ending
// within a few seconds of their start. SIGHUP judges the configuration file
// again (its problems to the log and standard error) and, when it has none,
// starts new workers on it while the old ones finish their
// client and end (the socket is not touched); SIGTERM and SIGINT stop
// accepting, let the clients finish for up to 5 s, stop every worker and
// module and remove the socket.
//
// A worker is the same program started again with -worker and the socket on
// descriptor 3: it does the ordinary start-up (configuration, log, modules)
// once and then serves one connection at a time with the ordinary command
// loop, running whole lines only (a connection that ends inside a line was
// cut off). A client's quit or the end of its input ends the connection with
// "+OK bye"; the modules are not sent quit and keep running for the next
// client. A worker ends after its client once a module was given up, so its
// replacement starts the module afresh.
//
// The daemon is handed the configuration the front end accepted and the
// command handler; it holds the connections and hands the handler each
// client's lines with the client's session (request.h). It knows nothing
// of what the lines mean.
#ifndef DAEMON_H
#define DAEMON_H

#include "adt/sini.h"
#include "adt/tallis.h"
#include "request.h"

// Runs the supervisor on the socket at socket_path until SIGTERM or SIGINT;
// the exit status (1 after "-DEAD reason" when the socket is unusable).
// config is the configuration accepted at start, loaded from the file at
// path (not owned); a reload judges that file again. dir is where the
// modules run; argv is the command line a worker is started with, with
// "-worker PID" added.
int daemon_supervise(const char *socket_path, const char *path, const char *dir, adt::SIni config,
                     int argc, char **argv);

// A worker started by the supervisor whose process id is supervisor:
// serves connections on descriptor 3, each with the ordinary command loop
// and serve as its handler, with the settings of config and the started
// modules of auths, until told to stop or a module is given up; the exit
// status.
int daemon_work(int supervisor, adt::Tallis *auths, adt::SIni config, CommandHandler serve);

#endif
