// Password change: corvane -passwd NAME. The new password is read from
// standard input, never from the command line (where every local user
// could read it): on a terminal it is asked for twice and not echoed; from
// a pipe it is the first line, and a second line, when there is one, must
// match it. It is then set as "set NAME PASSWORD" sets it (the user's
// stored extra information stays), and the reply is written to standard
// output. The exit status tells a script what became of it: 0 for "+OK",
// 1 for "-ERR" (also a password refused before it was sent), 111 for
// "-DEAD" or no reply.
#ifndef PASSWD_H
#define PASSWD_H

#include "request.h"

// The exit statuses of a command whose final reply is "+OK", "-ERR", and
// "-DEAD" or missing.
enum { PASSWD_OK = 0, PASSWD_REFUSED = 1, PASSWD_TEMPFAIL = 111 };

// Reads the new password for name, held here until passwd_set or exit
// (then wiped). 0 to go on; otherwise the exit status, after writing the
// reason as a "-ERR" line (passwords that differ, none given, an empty one,
// one holding a blank or another control character).
int passwd_read(const char *name);

// The set command line that sets the password read, for name ("set NAME
// PASSWORD", without a line end), in bf (bfsz bytes); bf. The caller
// wipes it.
char *passwd_command(const char *name, char *bf, int bfsz);

// The exit status for a command's final reply line (null: none came).
int passwd_status(const char *reply);

// Sets the password read for name with the command handler serve, for
// session s: its reply goes to standard output. The exit status. Wipes
// the password.
int passwd_set(const char *name, const Session *s, CommandHandler serve);

#endif
