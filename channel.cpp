// Channel: one message per packet between supervisor and worker.
#include "channel.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

int chan_pair(int fds[2])
{
    return socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0;
}

int chan_send(int fd, const ChanMsg *m, int wait)
{
    size_t size = sizeof m->head + m->head.len;
    for (;;) {
        ssize_t n = send(fd, m, size, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
        if (n == static_cast<ssize_t>(size)) return 1;
        if (n < 0 && errno == EINTR) continue;
        if (n >= 0) errno = EMSGSIZE;
        return 0;
    }
}

int chan_say(int fd, ChanKind kind, uint32_t flags, uint64_t id, int step, int ms)
{
    ChanMsg m;
    memset(&m.head, 0, sizeof m.head);
    m.head.kind = kind;
    m.head.flags = flags;
    m.head.id = id;
    m.head.step = step;
    m.head.ms = ms;
    return chan_send(fd, &m, 1);
}

int chan_recv(int fd, ChanMsg *m)
{
    ssize_t n;
    do n = recv(fd, m, sizeof *m, MSG_DONTWAIT | MSG_TRUNC);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return n == 0 ? 0 : -1;
    bool whole = static_cast<size_t>(n) >= sizeof m->head && m->head.len <= CHAN_TEXT &&
                 static_cast<size_t>(n) == sizeof m->head + m->head.len;
    if (!whole || m->head.kind < CHAN_READY || m->head.kind > CHAN_LATER) {
        errno = EPROTO;
        return -1;
    }
    return 1;
}
