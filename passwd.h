// Password change: corvane -passwd NAME. The new password is read from
// standard input, never from the command line (where every local user
// could read it): on a terminal it is asked for twice and not echoed; from
// a pipe it is the first line, and a second line, when there is one, must
// match it. It is then set as "set NAME PASSWORD" sets it (the user's
// stored extra information stays), and the reply is written to standard
// output. The exit status tells a script what became of it, as it does for
// the adapters and `corvane -connect` (adapters/ask.h): 0 for "+OK", 1 for
// "-ERR" (also a password refused before it was sent), 111 for "-DEAD" or
// no reply.
#ifndef PASSWD_H
#define PASSWD_H

#include "request.h"

// Reads the new password for name, held here until it is set or the
// program ends (then wiped). 0 to go on; otherwise the exit status, after
// writing the reason as a "-ERR" line (passwords that differ, none given,
// an empty one, one holding a blank or another control character, one
// too long for a request line).
int passwd_read(const char *name);

// Sets the password read for name with the command handler serve, for
// session s: its reply goes to standard output. The exit status. Wipes
// the password.
int passwd_set(const char *name, const Session *s, CommandHandler serve);

// Sets it through the daemon at socket, which is given timeout_ms to
// answer (the client of `corvane -connect`). The exit status. Wipes the
// password.
int passwd_connect(const char *name, const char *socket, int timeout_ms);

#endif
