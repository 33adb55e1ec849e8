// Corvane's front end: start-up and the command-line options. corvane.cpp
// composes the rooms of the front end, each of which calls only the rooms
// below it:
//
//   corvane.cpp   start-up, the options, -t; hands each room what it needs
//   passwd.cpp    -passwd: the new password read, and set through the handler
//   daemon.cpp    the supervisor and its workers (-listen)
//   commands.cpp  the client protocol: command table, handler, reply writers, loop
//   request.h     the handler's contract: session, request, reply sink
//   gate.cpp      the gatekeeping callbacks of the module table
//   config.cpp    the settings table and the judge of a configuration file
//   selfcheck.cpp a module asked to check itself (-t)
//   client.cpp    a client's bytes: read a line, queue a reply, flush
//
// and under them the library in adt/ (the module table, the channel to a
// module, the configuration store, the log).
#ifndef CORVANE_H
#define CORVANE_H

#include "commands.h"

// Stage 0 (before anything else): the options before the first command
// option (-path, -debug, -t, -version, -h, -listen, -connect); stage 1
// (after the modules are started): the first command option, which sets
// Mode. Every argument after the command option is a word of that command,
// whatever it looks like. 0 to go on; otherwise the exit status, the
// reason already written.
int process_args(int argc, char **argv, int stage);
// The whole program: start-up, then the command loop (or, with -t, the
// configuration test; with -h, the usage; with -listen, the daemon); the
// exit status. main.cpp calls it, so that tests and fuzz targets link the
// front end like any library.
int corvane_main(int argc, char **argv);
// Frees, in this order, the module records, the module table (stopping
// every module), the configuration and the log. Registered with atexit.
void cleanup(void);

#endif
