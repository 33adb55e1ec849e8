// connect: `corvane -connect`, a client of the daemon on askd.h.
#include "adapters/connect.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "adapters/ask.h"

namespace
{

// Writes text and, with lf, a line feed to standard output: 1, or 0 when
// it cannot be written.
int put(const char *text, bool lf = true)
{
    return adt::write_all(STDOUT_FILENO, text, strlen(text)) &&
           (!lf || adt::write_all(STDOUT_FILENO, "\n", 1));
}

// Writes "-DEAD reason": ASK_TEMPFAIL.
int dead(const std::string &reason)
{
    put(("-DEAD " + reason).c_str());
    return ASK_TEMPFAIL;
}

bool data_line(const char *line)
{
    return strncmp(line, "+DATA ", 6) == 0;
}

// Writes a data line of a search; a failure is remembered in *failed.
void put_data(const char *line, void *failed)
{
    if (!put(line)) *static_cast<bool *>(failed) = true;
}

// The one request of the command line, answered before deadline.
int ask(AskLink &link, const struct timespec *deadline, int argc, char **argv)
{
    std::string request = argv[0] + 1;
    for (int i = 1; i < argc; i++) (request += ' ') += argv[i];
    bool long_line = request.size() > ASKD_TEXT, failed = false;
    char reply[ASKD_BUF];
    int answer = long_line ? ASKD_ERR
                           : askd_exchange(link.fd(), request.c_str(), deadline, link.who(),
                                           put_data, &failed, reply, sizeof reply);
    explicit_bzero(request.data(), request.size()); // it may hold a password
    if (answer == ASKD_NONE) return dead(reply);
    failed = !put(long_line ? "-ERR Line too long" : reply) || failed;
    return failed ? 1 : ask_status(answer);
}

// Writes the daemon's whole lines; each final one answers the oldest
// request in waiting. 1 while the connection lasts, 0 once the daemon
// ended it (a last line without its line feed is written as it came), -1
// when standard output cannot be written.
int replies(AskLink &link, std::deque<struct timespec> &waiting)
{
    struct timespec now = askd_deadline(0);
    char line[ASKD_BUF];
    int r;
    while ((r = link.read_line(line, sizeof line, &now)) > 0) {
        if (!put(line)) return -1;
        if (!data_line(line) && !waiting.empty()) waiting.pop_front();
    }
    return r == -2 ? 1 : put(line, false) ? 0 : -1;
}

// Copies standard input (read into in, of size bytes) to the daemon and its
// replies to standard output until the daemon ends the connection; each
// line sent is a request that must be answered within timeout_ms, and so
// is the end of the input (with "+OK bye").
int relay(AskLink &link, int timeout_ms, char *in, size_t size)
{
    std::deque<struct timespec> waiting; // when each request unanswered is due
    char last = '\n';
    struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {link.fd(), POLLIN, 0}};
    for (;;) {
        int left = waiting.empty() ? -1 : askd_left(&waiting.front());
        if (left == 0)
            return dead(std::string("no reply from ") + link.who() + " within the time-out");
        int ready = poll(p, 2, left);
        if (ready < 0 && errno != EINTR) return 1;
        if (ready <= 0) continue;
        int r = p[1].revents ? replies(link, waiting) : 1;
        if (r <= 0) return r < 0 ? 1 : 0;
        if (p[0].fd < 0 || !p[0].revents) continue;
        ssize_t n = read(STDIN_FILENO, in, size);
        if (n < 0 && errno == EINTR) continue;
        struct timespec due = askd_deadline(timeout_ms);
        if (n <= 0) {
            // The daemon runs only ended lines: a last line is ended here, as
            // Corvane on standard input would run it.
            if (last != '\n' && link.send("\n", 1, &due)) waiting.push_back(due);
            shutdown(link.fd(), SHUT_WR);
            waiting.push_back(due);
            p[0].fd = -1;
            continue;
        }
        if (!link.send(in, static_cast<size_t>(n), &due))
            return dead(std::string("cannot send to ") + link.who() + ": " + strerror(errno));
        for (const char *c = in; (c = static_cast<const char *>(memchr(c, '\n', in + n - c))); c++)
            waiting.push_back(due);
        last = in[n - 1];
    }
}

} // namespace

int connect_run(const char *socket, int timeout_ms, int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    AskOptions o;
    ask_options_init(&o);
    o.Socket = socket;
    struct timespec deadline = askd_deadline(timeout_ms);
    char why[ASKD_BUF];
    AskLink link;
    if (!link.open(o, &deadline, why, sizeof why)) return dead(why);
    if (argc > 0 && argv) return ask(link, &deadline, argc, argv);
    char in[65536];
    int status = relay(link, timeout_ms, in, sizeof in);
    explicit_bzero(in, sizeof in); // what was typed may hold passwords
    return status;
}
