// connect: the client of a running daemon that `corvane -connect` is. The
// command of the command line is asked once, or a session on standard
// input is relayed; replies go to standard output as the daemon writes
// them.
#ifndef ADAPTERS_CONNECT_H
#define ADAPTERS_CONNECT_H

// Asks the daemon at socket, giving it timeout_ms to answer each request.
// With argc > 0, argv[0] is a command option ("-lookup") and the rest its
// words: the option without its dash and the words, separated by blanks,
// are sent as one request (one longer than a request line is answered
// "-ERR Line too long" without asking), and its data lines and final line
// are written out. The exit status: 0 for a final "+OK", 1 for "-ERR",
// 111 for "-DEAD" or no answer.
// With argc 0, standard input is sent as it comes (a last line without its
// line feed is ended) and every reply written out, until the daemon ends
// the connection: 0. 1 when standard output cannot be written.
// In both, a daemon that cannot be reached, or does not answer a request
// within timeout_ms, is written as "-DEAD reason": 111. Sets SIGPIPE to be
// ignored.
int connect_run(const char *socket, int timeout_ms, int argc, char **argv);

#endif
