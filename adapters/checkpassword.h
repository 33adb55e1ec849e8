// The adapter that puts Corvane behind the programs that run an
// authentication program per login: the checkpassword interface (Dovecot's
// checkpassword passdb, qmail-popup and their kin), Linux-PAM's pam_exec,
// and mod_authnz_external's "pipe" method for Apache. The options, the
// parsing of what each caller hands over, the one check asked of a Corvane
// child or of a running daemon, and the exit statuses.
//
// A checkpassword caller writes "user\0password\0timestamp\0" (at most 512
// bytes) to descriptor 3; pam_exec with expose_authtok writes the password
// to standard input, up to a NUL or the end, and names the user in
// PAM_USER; mod_authnz_external writes "user\npassword\n" to standard
// input. Corvane is sent
//   check USER PASSWORD [ADDRESS]
//   quit
// on its standard input (or on the daemon's socket), never on a command
// line; its first reply line decides: "+OK" accepts, "-ERR" refuses,
// anything else (or none within the time-out) is a temporary failure.
#ifndef ADAPTERS_CHECKPASSWORD_H
#define ADAPTERS_CHECKPASSWORD_H

#include <cstddef>
#include <ctime>
#include <sys/types.h>

#include "adt/wire.h"

// Exit statuses of the interface.
enum {
    CPW_OK = 0,         // accepted; in checkpassword mode prog is run instead
    CPW_REJECT = 1,     // refused: wrong password, unknown user, or not a usable login
    CPW_MISUSE = 2,     // the caller broke the interface: bad options, malformed input
    CPW_TEMPFAIL = 111, // Corvane could not answer: try again later
};

enum {
    CPW_INPUT_MAX = 512,   // most bytes a caller may hand over
    CPW_ADDRESS_MAX = 255, // longest client address passed on
    CPW_TIMEOUT = 30000,   // default time-out of the whole check, in milliseconds
    CPW_TIMEOUT_MAX = 3600000,
    CPW_LINE = adt::WIRE_BUF, // command and reply buffers, as Corvane's own
};

// Who hands the login over, and how.
enum CpwMode {
    CPW_CHECKPASSWORD, // descriptor 3; prog runs on success
    CPW_PAM,           // pam_exec: PAM_USER, PAM_RHOST, password on standard input
    CPW_PIPE,          // mod_authnz_external: user and password lines, IP
};

// What the command line sets.
struct CpwOptions {
    const char *Corvane; // the corvane program; the installed one unless set
    const char *Path;    // its configuration directory; the built-in one unless set
    const char *Socket;  // a running daemon's socket, asked instead of a Corvane, or null
    int Timeout;         // time-out of the whole check in milliseconds
    int Mode;            // a CpwMode
    int Help;            // 1: --help was asked for
    char **Prog;         // checkpassword mode: prog and its arguments (argv's own)
};

// One login as the caller handed it over; the texts point into the
// caller's input buffer (Address into the environment).
struct CpwLogin {
    const char *User;
    const char *Password;
    const char *Address; // the client's address, or null when none was given
};

// The corvane program and the configuration directory used when no option
// names them, both set at build time from the install prefix.
const char *cpw_default_corvane(void);
const char *cpw_default_path(void);

// Reads the options from argv[1] on into o (defaults first). Options may be
// written with one dash or two; "--" or the first other word ends them and,
// in checkpassword mode, starts prog. 1 on success (also for --help, with
// o->Help set); 0 with the reason in err (capacity size) on an unknown
// option, a missing or bad value, a program, directory or socket that is
// not an absolute path, no prog in checkpassword mode, or words after the
// options in the other modes.
int cpw_parse_options(CpwOptions *o, int argc, char **argv, char *err, size_t size);

// 1 when text can travel as one word of a Corvane command: not empty, no
// blank and no control character (which would split or end the line).
int cpw_word_ok(const char *text);

// Splits the len bytes of data (which must hold len + 1 bytes) into
// l->User and l->Password, pointing into data, as the mode's caller hands
// them over:
//   CPW_CHECKPASSWORD  "user\0password\0" and a time stamp, which is ignored;
//   CPW_PAM            the password up to its first NUL or the end, user given;
//   CPW_PIPE           "user\npassword\n", the last line feed optional.
// CPW_OK; CPW_REJECT when len exceeds CPW_INPUT_MAX or a field is not a
// usable word; CPW_MISUSE when a separator the mode needs is missing.
int cpw_parse_login(int mode, char *data, size_t len, const char *user, CpwLogin *l);

// Sets l->Address from the caller's text: null or empty is no address;
// CPW_REJECT for one that is not a usable word, holds a comma (it would be
// read as a list of addresses) or is longer than CPW_ADDRESS_MAX, so that
// it cannot pass unseen. CPW_OK otherwise.
int cpw_set_address(CpwLogin *l, const char *address);

// Writes "check user password[ address]\nquit\n" into buf (capacity size);
// its length, or -1 when it does not fit. The caller clears buf after use.
int cpw_command(char *buf, size_t size, const CpwLogin *l);

// The exit status a reply line stands for: CPW_OK for "+OK", CPW_REJECT
// for "-ERR" (each alone or followed by a blank), CPW_TEMPFAIL otherwise
// ("-DEAD" and anything unexpected).
int cpw_reply_status(const char *line);

// 1 when reply holds password anywhere, as a word or inside one (a module
// that echoes its request): such a reply is never shown or logged.
int cpw_reply_holds(const char *reply, const char *password);

// The deadline ms milliseconds from now (CLOCK_MONOTONIC), and the
// milliseconds left until it, 0 once it passed.
struct timespec cpw_deadline(int ms);
int cpw_left(const struct timespec *deadline);

// Reads from fd until its end, size bytes, or deadline; with to_nul also
// until a read brings a NUL. The count read; -1 on a read error (errno
// set), -2 when the deadline passed first.
ssize_t cpw_read_all(int fd, char *buf, size_t size, int to_nul, const struct timespec *deadline);

// 1 when Corvane may take its configuration from dir: dir and the
// configuration file the program corvane reads there (its name with
// ".ini") are owned by root or by this process's user, and neither is
// writable by anyone but its owner. 0 with the reason in err otherwise
// (also when either cannot be examined).
int cpw_config_safe(const char *dir, const char *corvane, char *err, size_t size);

// Connects to the Unix stream socket at path before deadline. The
// descriptor (close-on-exec), or -1 with the reason in err.
int cpw_connect(const char *path, const struct timespec *deadline, char *err, size_t size);

// Asks about command (len bytes) and reads the first reply line into reply
// (capacity size, without its line feed) before deadline: over o->Socket
// when set, else from a Corvane started as o says (after cpw_config_safe of
// its directory), which is then let end, or ended. 1 when a whole line
// came; 0 when the configuration is refused, Corvane could not be started
// or executed, or no line came in time, with the reason in reply. Writes
// nothing to standard output or error. Descriptors 0 to 2 must be open, so
// that no pipe lands on them.
int cpw_ask(const CpwOptions *o, const char *command, size_t len, const struct timespec *deadline,
            char *reply, size_t size);

#endif
