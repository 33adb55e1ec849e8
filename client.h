// Client: the connection of one caller, read and written through its two
// descriptors with buffers of its own: standard input and output, or a
// daemon's socket.
//
// Replies are collected and written when Corvane would otherwise wait for
// more input: a caller that sends several commands without waiting gets the
// replies of all the commands already read in one write, and a caller that
// waits for each reply (lock-step) sees it at once, since nothing more of its
// input is there yet.
//
// A client only moves bytes: what its lines mean is the command handler's.
#ifndef CLIENT_H
#define CLIENT_H

#include <csignal>
#include <cstddef>

#include "adt/wire.h"

// Why a client's loop ended.
enum ClientEnd {
    END_QUIT,    // the caller's quit, or the one command of the command line
    END_INPUT,   // end of the caller's input
    END_IDLE,    // no input within Timeout
    END_STALLED, // no room for output within Timeout: the caller does not read
    END_GONE,    // the caller went away (or a descriptor failed)
    END_STOP     // client_stop was set
};

struct client {
    int In, Out;       // descriptors; not owned
    int Timeout;       // ms a read or a write may wait; -1: for ever
    ClientEnd Why;     // set when a read answers -1
    int Broken;        // the caller went away or stopped reading: output is dropped
    int WholeLines;    // 1: a last line without its line feed is not run (a socket's
                       // peer that ends inside a line was cut off: END_GONE)
    size_t RPos, RLen; // unread input is R[RPos..RLen)
    size_t WLen;       // output collected in W
    char R[4096];      // input read ahead
    char W[16384];     // output not yet written
};
typedef struct client Client;

// Set from a signal handler: every client's read answers -1 (END_STOP) at
// once instead of waiting for input.
extern volatile sig_atomic_t client_stop;

// Prepares c on descriptors in and out; timeout_ms bounds each wait for
// input and for room to write (-1: none). WholeLines is 0.
void client_init(Client *c, int in, int out, int timeout_ms);

// Reads one line into line (capacity bfsz): at most bfsz-2 characters and
// the line feed. 1 for a line (the last one may lack its line feed unless
// WholeLines is set); 0 for a longer line, which is read to its end and
// dropped, whatever its length (taken in pieces, its tail would run as
// commands of their own); -1 at end of input, after Timeout without input,
// when the caller went away or on client_stop, with the reason in Why.
// Collected output is written before any wait for input.
int client_read_line(Client *c, char *line, int bfsz);
// Adds lead, text and a line feed to the output.
void client_line(Client *c, const char *lead, const char *text);
// After a reply: writes the output unless a whole line of input is already
// waiting (its reply then goes out with this one).
void client_reply_done(Client *c);
// Writes all collected output; 0 once the caller is gone or has not made
// room for it within Timeout (the rest of its output is then dropped).
int client_flush(Client *c);

#endif
