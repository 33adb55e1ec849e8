// Worker: the side of a daemon that runs modules. A worker is the program
// started again by the supervisor (with -worker), with the channel to the
// supervisor on descriptor WORKER_CHANNEL, the accepted configuration's
// bytes on WORKER_CONFIG and the memory the workers share on SHM_FD
// (shm.h). It does the ordinary start-up (configuration, log, the shared
// memory, modules) and then serves the requests the supervisor hands it,
// one at a time, with the command handler; it holds no client connection.
//
// It lives no longer than its supervisor: it ends when the channel closes
// (after the request in hand), and at once, with its modules, when the
// supervisor dies (the parent-death signal, SIGTERM: the worker's process
// group, itself and its modules, is sent SIGTERM, then SIGKILL half a second
// later). A worker whose supervisor had already gone before it looked does
// not start.
#ifndef WORKER_H
#define WORKER_H

#include "request.h"

// The descriptors a worker is started with.
inline constexpr int WORKER_CHANNEL = 3;
inline constexpr int WORKER_CONFIG = 4;

// Ties the worker to its supervisor (process id supervisor): its death ends
// the worker and its modules. 0 when the supervisor is gone already.
int worker_attach(int supervisor);

// Says READY, then serves each request of the channel with serve until the
// supervisor closes it. The exit status: 0, or 1 when the channel failed.
int worker_serve(CommandHandler serve);

#endif
