// Daemon: Corvane serving many clients on a Unix stream socket, and the
// client that talks to it.
//
// corvane -listen PATH starts a supervisor: it binds PATH with the mode and
// group of `socket_mode` and `socket_group`, set once while the socket lies
// in a private directory beside PATH (or takes the socket systemd hands it
// on descriptor 3 when LISTEN_FDS is 1 and LISTEN_PID is its process id),
// starts `workers` worker processes and keeps them running: a worker that
// ends is replaced, after 1 s doubling to 60 s while workers keep ending
// within a few seconds of their start. SIGHUP checks the configuration and,
// when it is sound, starts new workers on it while the old ones finish their
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
// corvane -connect PATH runs the command line (-check ...) or a session on
// standard input against a running daemon.
#ifndef DAEMON_H
#define DAEMON_H

#include "adt/sini.h"
#include "adt/tallis.h"

// The pre-command options -listen PATH, -connect PATH and the internal
// -worker, at argv[*i]: 1 when it is one of them (*i moves past its value;
// a missing value writes "-ERR listen requires a parameter" or the like and
// sets *status to 1), else 0.
int daemon_option(int argc, char **argv, int *i, int *status);

// 1 after -connect.
int daemon_connecting(void);
// Sends the command of the command line, or relays standard input, to the
// daemon at the -connect path and writes its replies to standard output.
// The exit status: 0, or 1 when the command line is wrong or the daemon
// cannot be reached ("-DEAD cannot connect to PATH: reason").
int daemon_connect(int argc, char **argv);

// 1 after -listen, in the supervisor (not in a worker).
int daemon_supervising(void);
// Runs the supervisor until SIGTERM or SIGINT, with the configuration of
// name in dir; the exit status (1 after "-DEAD reason" when the socket or
// the configuration is unusable).
int daemon_supervise(int argc, char **argv, const char *dir, const char *name);

// 1 in a worker (-worker).
int daemon_working(void);
// Serves connections on descriptor 3 with the started modules of auths and
// the settings of ini until told to stop or a module is given up; the exit
// status.
int daemon_work(int argc, char **argv, adt::Tallis *auths, adt::SIni ini);

// Called by the command handler with a line's command word and its mode:
// 1 when the daemon answered it itself (quit, which ends the connection
// without sending quit to the modules, and set, del and search from a peer
// that is neither root nor Corvane's user nor named by `writers`: "-ERR %s
// not allowed for this client"); 0 to handle it as usual, as always outside
// a daemon's client.
int daemon_gate(const char *word, int mode);

#endif
