// Spawn: the channel to one child process. A module program runs as a
// child with two pipes: we write request lines to its standard input and
// read reply lines from its standard output. Its standard error is
// /dev/null. Reading never blocks for longer than the time-out, in
// milliseconds, that each line is given from the call that waits for it.
//
// Life of a record: spawn_init, spawn_copy_env, spawn_start once, then
// spawn_printf / spawn_gets, and spawn_free (which stops the child). A
// stopped record is not started again; a restart builds a new record.
//
// Every failure is written to the current log (messages begin "Spawn: ")
// and answered with 0, -1 or null; nothing goes to standard error. A failed
// read or write of a line is traced at debug level only: its caller says
// in its own words what became of the exchange (errno tells the kind, and
// spawn_ended how a child that broke off ended).
// Functions accept null arguments unless their comment says otherwise.
#ifndef ADT_SPAWN_H
#define ADT_SPAWN_H

#include "adt/wire.h"

#include <ctime>

namespace adt
{

struct spawn_process {
    int in;              // we write the child's standard input here
    int out;             // we read the child's standard output here
    int pid;             // the child's process id; 0 when no child runs
    int envsz;           // slots in env (40 in a new record)
    int envi;            // strings held in env
    char **env;          // environment for the child: envi owned NAME=value strings, then null
    int inbytes;         // bytes held in inbf (at most WIRE_LINE)
    int inupto;          // offset in inbf of the first byte not yet handed out
    char inbf[WIRE_BUF]; // bytes read from the child; inbf[inbytes] is always NUL
    char *execerr;       // why the child could not run its program, else null; owned
    int uid;             // the user id a started child takes on, with its groups; -1: ours
    int gid;             // the group id a started child takes on; -1: ours
};
typedef struct spawn_process Spawn;
typedef Spawn *pSpawn;

// New record with an empty environment of 40 slots and no child; null when
// memory runs out. Ignores SIGPIPE (a write to a child that has gone away
// then fails instead of ending the program). The record's child takes on
// user id uid and group id gid (-1: keep ours). Free with spawn_free.
pSpawn spawn_init(int uid, int gid);
// Replaces x's environment with copies of the null-terminated list env
// (a null env gives an empty one); env stays the caller's.
void spawn_copy_env(pSpawn x, const char *const *env);
// Frees x's environment strings; the slots stay.
void spawn_clrenv(pSpawn x);
// Starts command (program path, no PATH search, then words separated by
// blanks or tabs, no quoting) as a child of x, and waits until the child
// has run its program or failed to. 1 when the child process was created,
// even if its program then cannot be executed (the child logs that, tells
// us why through a close-on-exec status pipe, see spawn_exec_error, and
// exits with status 0); 0 on failure, with pid left at 0.
int spawn_start(pSpawn x, const char *command);
// As spawn_start, with the child in the working directory dir (null: ours);
// a directory it cannot enter fails like a program it cannot execute.
int spawn_start_in(pSpawn x, const char *command, const char *dir);
// Why x's child could not run its program ("cannot execute '%s': %s" with
// the program's path and the system's reason, or "cannot change to
// directory '%s': %s"), or null when it runs (or for a null x). Owned by x.
const char *spawn_exec_error(pSpawn x);
// Sends SIGTERM to x's child and waits up to about 500 ms for it to end
// (reaping it), then closes both pipes and empties the environment. A child
// that ignores SIGTERM is left running. Nothing happens when no child runs.
// The wait wakes on SIGCHLD, which is blocked meanwhile (the caller's mask
// comes back afterwards) and taken by the wait.
void spawn_kill(pSpawn x);
// Unless dontkill is set, stops the child; then frees the record and its
// environment and sets *x to null.
void spawn_free(pSpawn *x, int dontkill);
// The child's process id, 0 when none runs, -1 for a null record.
int spawn_get_pid(pSpawn x);
// How x's child ended, in bf (bfsz bytes): "exited with status 3" or "was
// killed by signal 9 (Killed)"; bf once it has ended, waiting up to wait_ms
// for that, else null (also for a null x or when no child runs). The child
// is not reaped (spawn_kill does that), so its process id stays ours.
const char *spawn_ended(pSpawn x, char *bf, int bfsz, int wait_ms);
// x's child's exit status once it has exited, waiting up to wait_ms for
// that; -1 while it runs, when a signal ended it (spawn_ended says which),
// or for a null x. The child is not reaped.
int spawn_exit_status(pSpawn x, int wait_ms);
// Closes our end of x's child's standard input: it reads the end of its
// input, and nothing more can be sent to it.
void spawn_end_input(pSpawn x);
// --- Process plumbing, shared by Corvane, the modules and the adapters ---
// Marks every descriptor from low on close-on-exec, so that a program run
// next inherits none of them: close_range where the kernel has it, else the
// open ones listed in /proc, else every possible one.
void spawn_cloexec_from(int low);
// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no pipe or file opened later lands on one of them. 1 when all three are
// open afterwards, else 0.
int spawn_stdio_open(void);
// The clock of every time-out and deadline: the monotonic clock, in
// moments (struct timespec) and whole milliseconds.
// The moment ms milliseconds from now (0: now).
struct timespec spawn_deadline(int ms);
// Whole milliseconds left until deadline, 0 once it passed (or for null).
long long spawn_left(const struct timespec *deadline);
// Whole milliseconds since the moment since, 0 while it is still to come
// (or for null).
long long spawn_elapsed(const struct timespec *since);
// The system's text for the current errno, cut to bfsz bytes in bf; returns bf.
char *spawn_error(char *bf, int bfsz);
// Splits command at blanks, tabs, CR and LF (runs count as one) into heap
// copies in args, at most max-2 of them, followed by a null entry (args has
// max slots). Returns the number of fields found. Release with free_args.
int make_args(const char *command, char **args, int max);
// Frees the entries of args up to the first null one and nulls them.
void free_args(char **args);

// Bytes waiting to be read from the child without blocking; -1 for a null
// record or when the query fails.
int spawn_peek(pSpawn x);
// One read of at most bfsz-1 bytes from the child into buffer, terminated
// after them. Returns the count; 0 at end of file or on failure. Blocks
// when nothing is waiting: look first with spawn_peek.
int spawn_read(pSpawn x, char *buffer, unsigned int bfsz);
// One write of bytes bytes of buffer to the child. Returns the count
// written (a short write is not retried), 0 on failure.
int spawn_write(pSpawn x, const char *buffer, unsigned int bytes);
// Formats one line (at most WIRE_LINE characters; trailing CRs and LFs dropped),
// adds one line feed and writes it. Returns spawn_write's result, 0 for a
// null x or format.
int spawn_printf(pSpawn x, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Hands out the next line of the child's output (without CR LF or LF) in
// result, of bfsz bytes, and returns its length. The line must be complete
// within timeout ms of the call, however slowly it comes (<= 0: only a line
// already held). -1 on failure, time-out or end of file, and for a line
// longer than result holds (bfsz-1 characters) or than WIRE_TEXT
// characters, whatever the result; errno then says which: ETIMEDOUT for a
// time-out, EPIPE for the end of the child's output, EMSGSIZE for a line too
// long (it stays unread and the channel is out of step: its caller starts a
// new one), else the read's own error. After a line, *avail is the number of
// bytes already held beyond it, else 0. avail may be null.
int spawn_gets(pSpawn x, char *result, int bfsz, int *avail, int timeout);
// Drops whatever the child wrote that nobody has read yet: what x holds
// unread and what waits on the pipe, without waiting for more. Each dropped
// line is logged at error level as "WHO: discarding unexpected output (%s)".
// Returns the number of bytes dropped, 0 for a null x.
int spawn_discard(pSpawn x, const char *who);

} // namespace adt

#endif
