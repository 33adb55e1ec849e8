// Log: one levelled log with size-based rotation of its file, and the
// three message calls every subsystem uses. Lines look like
// "Sun Dec  6 20:56:31  [pid] Level: text". Errors raised while no log is
// current are held back and written once one becomes current.
//
// A log goes to its file (the default), to syslog or to standard error
// (log_to). Whatever the destination, a line is written as one line: every
// control character and backslash of its text is written \xNN, so callers
// pass clients' and modules' texts as they are; and the text log_hide names
// (a password) is written "xxxx".
//
// Several processes may write one file (the workers of a daemon, one
// Corvane per login): every write the log makes holds whole lines and goes
// to the end of the file (O_APPEND), so no line is torn or lost; rotation
// is done by one process at a time under a lock on the file, and a process
// whose file was rotated by another notices it (the name no longer leads
// to its file) and reopens the file by name before its next write.
#ifndef ADT_LOG_H
#define ADT_LOG_H

#include <cstddef>
#include <cstdio>

namespace adt
{

enum LogLevel { LogNone = 0, LogError = 1, LogInfo = 2, LogDebug = 3 };

struct log {
    char File[1000];        // path of the log file; empty: no file yet
    LogLevel Level;         // highest level written
    int DoFlush;            // flush after a line when Lines is a multiple of it; 0: never
    int Lines;              // lines written by log_line over the whole run
    int Rotations;          // rotated files kept: File0 to File<Rotations>
    size_t Size;            // bytes in the file as far as this process counted
    size_t Rotate;          // size at or beyond which the file is rotated
    FILE *F;                // the open stream (written through its descriptor only), or null
    char *Pending;          // whole lines not yet written (LOG_PENDING bytes), or null
    size_t Held;            // bytes in Pending
    unsigned long Dev, Ino; // the open file's identity, to notice a rotation
    int Reported;           // the file could not be opened and that was said once
    int To;                 // where lines go: LOG_TO_FILE, LOG_TO_SYSLOG or LOG_TO_STDERR
};

// Destinations of a log's lines.
enum { LOG_TO_FILE = 0, LOG_TO_SYSLOG = 1, LOG_TO_STDERR = 2 };

// Most bytes of whole lines kept before they are written.
enum { LOG_PENDING = 8192 };
typedef struct log Log;

// New log of level l: 4 rotations at 1 MiB, no file, no stream.
Log *log_init(LogLevel l);
// Sets the file to path joined with file; makes x current if none is and
// writes pending errors. 0 for null x or an unwritable directory (a log
// that does not go to its file does not look at the directory).
int log_setup(Log *x, const char *path, const char *file);
// (Re)opens file for appending; 1 on success. A file it creates has mode
// 0600 whatever the umask; an existing file keeps its mode; a symbolic link
// is not followed (ELOOP). Programs this
// process executes do not inherit it. A log whose file cannot be opened says
// so once, with the path and the reason, on standard error (amsg).
int log_open(Log *x, const char *file);
// Sends x's lines to "file" (File, rotated; the default), "syslog"
// (facility authpriv, ident "corvane", each process's id; Error, Info and
// Debug at the priorities err, info and debug) or "stderr" (the file's
// line format, one write per line), the name in any letter case. Several
// processes may share each of them. 0 for an unknown name, which changes
// nothing. The file is not opened while the lines go elsewhere.
int log_to(Log *x, const char *name);
// The LOG_TO_ value of a destination's name (any letter case), or -1.
int log_destination(const char *name);
// Sets the number of rotated files and the rotation size.
void log_dorotate(Log *x, int rotations, size_t atsize);
// Sets the flush interval in lines (1: flush every line).
void log_doflush(Log *x, int doflush);
// Writes the pending lines of x, or of the current log when x is null.
void log_flush(Log *x);
// Closes the stream; the next line reopens it.
void log_close(Log *x);
// Closes and frees *x and sets it to null; clears the current log if it was it.
void log_free(Log **x);
// Makes x the current log, without writing pending errors.
void log_set(Log *x);
// Sets the level from "None", "Error", "Info" or "Debug" in any letter
// case; an unknown name leaves it unchanged.
void log_set_level_name(Log *x, const char *l);
// Writes one line at level l (dropped when above the log's level, and at
// LogNone): its text escaped and the hidden text "xxxx", cut to 999
// characters, without the line ends it may end in. Rotates when the file
// reaches Rotate bytes. With DoFlush 0 a line for the file waits in Pending
// until a flush or until Pending is full.
void log_line(Log *x, const char *line, LogLevel l);
// Rotates the file into File0..File<Rotations> under an exclusive lock on
// it: the shift is made only when the file, looked at again once the lock
// is held, is still the one named File and still at least Rotate bytes (a
// process that waited for another's rotation just reopens). Result of the
// reopen.
int log_rotate(Log *x);

// Error message to the current log, or held back until a log exists (at
// most 1000 texts; beyond that the oldest are dropped).
void emsg(const char *format, ...) __attribute__((format(printf, 1, 2)));
// An error an administrator must see: written as emsg writes it, and also
// as one line "corvane: TEXT" (escaped and hidden as a log line is) to
// standard error when that is open, unless the current log writes its
// lines there already. Callers such as Dovecot and pam_exec put a helper's
// standard error into their own logs, so a store that cannot be opened is
// seen where the administrator looks; standard output stays the protocol's.
void amsg(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Information message; written only when the current log is at Info or
// above. The level is checked before the text is formatted.
void imsg(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Debug message; written only when the current log is at Debug.
void dmsg(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Writes the held-back errors to the current log and forgets them.
void check_emsglog(void);

// Until the next call, every line written (to the log, and by amsg to
// standard error) has each occurrence of secret, inside a word or not,
// written "xxxx", and a line cut at its end in the middle of it loses that
// part too: a module that echoes a password in its reply must not put it in
// the log. null or "" hides nothing. The text is copied; the copy is wiped
// when it is replaced.
void log_hide(const char *secret);

} // namespace adt

#endif
