// The adapter that puts Corvane behind the programs that run an
// authentication program per login: the checkpassword interface (Dovecot's
// checkpassword passdb, qmail-popup and their kin), Linux-PAM's pam_exec,
// and mod_authnz_external's "pipe" method for Apache. Its options and the
// parsing of what each caller hands over; the check itself is asked as
// ask.h asks (ask_once), and answered with ask.h's exit statuses.
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

#include "adapters/ask.h"

enum {
    CPW_INPUT_MAX = 512, // most bytes a caller may hand over
};

// Who hands the login over, and how.
enum CpwMode {
    CPW_CHECKPASSWORD, // descriptor 3; prog runs on success
    CPW_PAM,           // pam_exec: PAM_USER, PAM_RHOST, password on standard input
    CPW_PIPE,          // mod_authnz_external: user and password lines, IP
};

// What the command line sets.
struct CpwOptions {
    AskOptions Ask; // --corvane, --path, --socket, --timeout
    int Mode;       // a CpwMode
    int Help;       // 1: --help was asked for
    char **Prog;    // checkpassword mode: prog and its arguments (argv's own)
};

// Reads the options from argv[1] on into o (defaults first). Options may be
// written with one dash or two; "--" or the first other word ends them and,
// in checkpassword mode, starts prog. 1 on success (also for --help, with
// o->Help set); 0 with the reason in err (capacity size) on an unknown
// option, a missing or bad value (ask_option), no prog in checkpassword
// mode, or words after the options in the other modes.
int cpw_parse_options(CpwOptions *o, int argc, char **argv, char *err, size_t size);

// Splits the len bytes of data (which must hold len + 1 bytes) into
// l->User and l->Password, pointing into data, as the mode's caller hands
// them over:
//   CPW_CHECKPASSWORD  "user\0password\0" and a time stamp, which is ignored;
//   CPW_PAM            the password up to its first NUL or the end, user given;
//   CPW_PIPE           "user\npassword\n", the last line feed optional.
// ASK_OK; ASK_REJECT when len exceeds CPW_INPUT_MAX or a field is not a
// usable word (askd_word_ok); ASK_MISUSE when a separator the mode needs
// is missing.
int cpw_parse_login(int mode, char *data, size_t len, const char *user, AskLogin *l);

#endif
