// Worker: serves the requests its supervisor hands it.
#include "worker.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "adt/log.h"
#include "adt/spawn.h"
#include "channel.h"

using namespace adt;

namespace
{

// The supervisor is gone: the worker's process group (itself and its
// modules) ends now, whatever the worker was doing.
void end_with_modules(int)
{
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, nullptr);
    if (getpgrp() == getpid()) {
        kill(0, SIGTERM);
        struct timespec grace = {0, 500000000};
        nanosleep(&grace, nullptr);
        kill(0, SIGKILL);
    }
    _exit(1);
}

// Where a request's reply lines go: into messages to the supervisor, sent
// at each flush, the last one flagged as the end of the reply.
class ChannelSink : public ReplySink
{
  public:
    void begin(uint64_t id)
    {
        msg_.head = ChanHead{CHAN_REPLY, 0, id, 0, 0, 0, 0, 0, 0};
        ok_ = true;
    }
    void line(const char *lead, const char *text) override
    {
        size_t a = strlen(lead), b = strlen(text);
        if (msg_.head.len + a + b + 1 > CHAN_TEXT) flush();
        if (a + b + 1 > CHAN_TEXT) b = CHAN_TEXT - a - 1; // no line is that long
        memcpy(msg_.text + msg_.head.len, lead, a);
        memcpy(msg_.text + msg_.head.len + a, text, b);
        msg_.text[msg_.head.len + a + b] = '\n';
        msg_.head.len += static_cast<uint32_t>(a + b + 1);
    }
    void flush() override
    {
        if (msg_.head.len > 0) send();
    }
    // The reply is complete; 0 once the channel failed.
    int finish(bool last)
    {
        msg_.head.flags = CHAN_DONE | (last ? CHAN_LAST : 0);
        send();
        return ok_;
    }

  private:
    ChanMsg msg_;
    bool ok_ = true;

    void send()
    {
        ok_ = ok_ && chan_send(WORKER_CHANNEL, &msg_, 1);
        msg_.head.len = 0;
    }
};

// Waits for the next message; 1 with it in m, 0 when the supervisor closed
// the channel, -1 when it failed.
int next_message(ChanMsg *m)
{
    for (;;) {
        int r = chan_recv(WORKER_CHANNEL, m);
        if (r >= 0 || errno != EAGAIN) return r;
        struct pollfd p = {WORKER_CHANNEL, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR) return -1;
    }
}

} // namespace

int worker_attach(int supervisor)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = end_with_modules;
    sigaction(SIGTERM, &sa, nullptr);
    // Set before the program was started again; a supervisor that died before
    // that left us to another parent.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != supervisor) return 0;
    // A module runs as our user: it must not read a client's password out of
    // our memory, nor have us dump it.
    prctl(PR_SET_DUMPABLE, 0);
    return 1;
}

int worker_serve(CommandHandler serve)
{
    if (!chan_say(WORKER_CHANNEL, CHAN_READY, 0, 0, 0, 0)) return 1;
    imsg("Worker ready");
    static ChanMsg m; // large: not on the stack
    static ChannelSink sink;
    int r;
    while ((r = next_message(&m)) > 0) {
        if (m.head.kind != CHAN_REQUEST || m.head.len >= WIRE_BUF) {
            emsg("Worker: the supervisor sent a message that is no request");
            return 1;
        }
        Session s = {(m.head.flags & CHAN_WRITER) != 0, 1,
                     static_cast<uid_t>(m.head.uid),    static_cast<gid_t>(m.head.gid),
                     static_cast<pid_t>(m.head.pid),    nullptr};
        Request q;
        q.session = &s;
        q.reply = &sink;
        memcpy(q.line, m.text, m.head.len);
        q.line[m.head.len] = 0;
        q.step = m.head.step;
        sink.begin(m.head.id);
        Served done = serve(&q);
        int sent;
        if (done == SERVE_LATER) {
            long long ms = spawn_left(&q.not_before);
            sent = chan_say(WORKER_CHANNEL, CHAN_LATER, 0, m.head.id, q.step,
                            static_cast<int>(ms > 86400000 ? 86400000 : ms));
        } else {
            sent = sink.finish(done == SERVED_LAST);
        }
        if (!sent) return 1;
    }
    return r < 0;
}
