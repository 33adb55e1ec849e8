// Channel: the framing between a daemon's supervisor and each of its
// workers, over a socket pair of their own (SOCK_SEQPACKET: one message is
// one packet, never split or merged).
//
// A message is a ChanHead and head.len bytes of text. The worker says
// READY once its modules run; the supervisor then hands it one REQUEST at
// a time (the request line and the session of its connection); the worker
// answers with REPLY messages holding whole reply lines, the last of them
// flagged CHAN_DONE (and CHAN_LAST when the connection's session ends), or
// with one LATER: "hand this request back, to me or any worker, after ms
// milliseconds, at this step", having written nothing. A worker holds
// nothing of a request once it has answered it.
//
// Both ends check every message they take: a message of the wrong size, kind
// or request number is a fault of the other end, which is then dropped.
#ifndef CHANNEL_H
#define CHANNEL_H

#include <cstdint>

enum ChanKind : uint32_t {
    CHAN_READY = 1,   // worker: its modules run, it takes requests
    CHAN_REQUEST = 2, // supervisor: serve this line
    CHAN_REPLY = 3,   // worker: reply lines of the request
    CHAN_LATER = 4    // worker: hand the request back after ms, at step
};

// Flags.
inline constexpr uint32_t CHAN_WRITER = 1; // REQUEST: the session may set, del and search
inline constexpr uint32_t CHAN_DONE = 2;   // REPLY: the request is answered
inline constexpr uint32_t CHAN_LAST = 4;   // REPLY with DONE: the session ends (quit)

struct ChanHead {
    uint32_t kind;
    uint32_t flags;
    uint64_t id;  // the request's number
    int32_t step; // REQUEST, LATER: the handler's own step
    int32_t ms;   // LATER: how long to wait
    uint32_t uid; // REQUEST: the peer
    uint32_t gid;
    int32_t pid;
    uint32_t len; // bytes of text that follow
};

// Most text in one message: several reply lines, or one request line.
inline constexpr uint32_t CHAN_TEXT = 16384;

struct ChanMsg {
    ChanHead head;
    char text[CHAN_TEXT];
};

// A connected pair of close-on-exec channel ends; 0 with errno set.
int chan_pair(int fds[2]);
// Sends m (its head and head.len bytes of text) as one message; with
// wait 0 it fails (EAGAIN) rather than wait for room. 1, or 0 with errno.
int chan_send(int fd, const ChanMsg *m, int wait);
// Sends a message of kind without text.
int chan_say(int fd, ChanKind kind, uint32_t flags, uint64_t id, int step, int ms);
// Takes one message into m without waiting: 1; 0 when the other end is
// gone; -1 with errno EAGAIN when none waits, EPROTO for a malformed one,
// else the system's reason.
int chan_recv(int fd, ChanMsg *m);

#endif
