// The adapter that puts Corvane behind the checkpassword interface
// (Dovecot's checkpassword passdb, qmail-popup and their kin) and behind
// Linux-PAM's pam_exec: the options, the parsing of what the caller hands
// over, the one check asked of a Corvane child, and the exit statuses.
//
// A checkpassword caller writes "user\0password\0timestamp\0" (at most 512
// bytes) to descriptor 3; pam_exec with expose_authtok writes the password
// to standard input, up to a NUL or the end, and names the user in
// PAM_USER. Corvane is started as a child and sent
//   check USER PASSWORD [ADDRESS]
//   quit
// on its standard input, never on its command line; its first reply line
// decides: "+OK" accepts, "-ERR" refuses, anything else (or none within the
// time-out) is a temporary failure.
#ifndef ADAPTERS_CHECKPASSWORD_H
#define ADAPTERS_CHECKPASSWORD_H

#include <cstddef>
#include <ctime>
#include <sys/types.h>

// Exit statuses of the interface.
enum {
    CPW_OK = 0,         // accepted (PAM); in checkpassword mode prog is run instead
    CPW_REJECT = 1,     // refused: wrong password, unknown user, or not a usable login
    CPW_MISUSE = 2,     // the caller broke the interface: bad options, malformed input
    CPW_TEMPFAIL = 111, // Corvane could not answer: try again later
};

enum {
    CPW_INPUT_MAX = 512,   // most bytes a caller may hand over
    CPW_ADDRESS_MAX = 255, // longest client address passed on
    CPW_TIMEOUT = 30000,   // default time-out of the whole check, in milliseconds
    CPW_TIMEOUT_MAX = 3600000,
    CPW_LINE = 1000, // command and reply buffers, as Corvane's own
};

// What the command line sets.
struct cpw_options {
    const char *Corvane; // the corvane program; the installed one unless set
    const char *Path;    // its -path directory (also its working directory), or null
    int Timeout;         // time-out of the whole check in milliseconds
    int Pam;             // 1: serve pam_exec instead of checkpassword
    char **Prog;         // checkpassword mode: prog and its arguments (argv's own)
};
typedef struct cpw_options CpwOptions;

// One login as the caller handed it over; the texts point into the
// caller's input buffer (Address into the environment).
struct cpw_login {
    const char *User;
    const char *Password;
    const char *Address; // the client's address, or null when none was given
};
typedef struct cpw_login CpwLogin;

// The corvane program used when no option names one.
const char *cpw_default_corvane(void);

// Reads the options from argv[1] on into o (defaults first). Options may be
// written with one dash or two; "--" or the first other word ends them and,
// in checkpassword mode, starts prog. 1 on success; 0 with the reason in
// err (capacity size) on an unknown option, a missing or bad value, no prog
// in checkpassword mode, or words after the options in PAM mode.
int cpw_parse_options(CpwOptions *o, int argc, char **argv, char *err, size_t size);

// 1 when text can travel as one word of a Corvane command: not empty, no
// blank and no control character (which would split or end the line).
int cpw_word_ok(const char *text);

// Splits checkpassword input (len bytes of data) into l->User and l->Password, pointing into data;
// what follows the password's NUL (the time stamp) is ignored. CPW_OK; CPW_REJECT when len exceeds
// CPW_INPUT_MAX or a field is empty or not a usable word; CPW_MISUSE when the NUL after the user or
// the password is missing.
int cpw_parse_input(char *data, size_t len, CpwLogin *l);

// The same for pam_exec: the password is data up to its first NUL or its
// end (data must hold len + 1 bytes; it is terminated in place), the user
// is user. CPW_OK, or CPW_REJECT as above.
int cpw_parse_pam(char *data, size_t len, const char *user, CpwLogin *l);

// Sets l->Address from the caller's text: null or empty is no address;
// CPW_REJECT for one that is not a usable word or longer than
// CPW_ADDRESS_MAX, so that it cannot pass unseen. CPW_OK otherwise.
int cpw_set_address(CpwLogin *l, const char *address);

// Writes "check user password[ address]\nquit\n" into buf (capacity size);
// its length, or -1 when it does not fit. The caller clears buf after use.
int cpw_command(char *buf, size_t size, const CpwLogin *l);

// The exit status a reply line stands for: CPW_OK for "+OK", CPW_REJECT
// for "-ERR" (each alone or followed by a blank), CPW_TEMPFAIL otherwise
// ("-DEAD" and anything unexpected).
int cpw_reply_status(const char *line);

// Milliseconds left until deadline (CLOCK_MONOTONIC), 0 once it passed.
int cpw_left(const struct timespec *deadline);

// Reads from fd until its end, size bytes, or deadline; with to_nul also
// until a read brings a NUL. The count read; -1 on a read error (errno
// set), -2 when the deadline passed first.
ssize_t cpw_read_all(int fd, char *buf, size_t size, int to_nul, const struct timespec *deadline);

// Starts Corvane as o says, writes command (len bytes) to it and reads its
// first reply line into reply (capacity size, without its line feed) before
// deadline; then lets Corvane end, or ends it. 1 when a whole line came;
// 0 when Corvane could not be started or gave no line in time, with the
// reason in reply. Writes nothing to standard output or error. Descriptors
// 0 to 2 must be open, so that no pipe lands on them.
int cpw_ask(const CpwOptions *o, const char *command, size_t len, const struct timespec *deadline,
            char *reply, size_t size);

#endif
