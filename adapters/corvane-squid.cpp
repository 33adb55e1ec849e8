// corvane-squid: Corvane behind Squid's basic authentication, as the
// long-running program of "auth_param basic program". Requests come on
// standard input, one line each, and are answered on standard output; the
// diagnostics go to standard error, which Squid writes to its cache.log.
// A password is never written to either.
//
// Corvane is asked over links: one Corvane child for the helper's whole
// life (started again when it dies), or, with --socket, connections to the
// Corvane daemon, one per request in flight, so that concurrent requests
// are answered at once and in any order.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <poll.h>
#include <string>
#include <vector>

#include "adapters/squid.h"

namespace
{

const char Usage[] =
    "usage: corvane-squid [--corvane PROGRAM] [--path DIR] [--timeout MS] [--concurrency]\n"
    "       corvane-squid --socket [PATH] [--timeout MS] [--concurrency]\n";

enum {
    LINKS_MAX = 256, // daemon connections open at once; more requests wait
};

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fputs("corvane-squid: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

// One request on its way to Corvane. The command holds the password and
// is cleared when the job goes.
struct Job {
    char channel[SQ_CHANNEL_MAX + 1] = "";
    char command[ASKD_BUF];
    int len = 0;
    char password[ASKD_BUF]; // to keep it out of any reply shown
    bool again = false;      // sent a second time, after a link broke under it
    struct timespec deadline = {};
    Job() = default;
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;
    ~Job()
    {
        explicit_bzero(command, sizeof command);
        explicit_bzero(password, sizeof password);
    }
};

// Writes one reply line to Squid. Squid gone, the helper has nothing left
// to do.
void answer(const char *channel, int verdict, const char *message)
{
    char line[ASKD_BUF + 64];
    int n = squid_reply(line, sizeof line, channel, verdict, message);
    if (n < 0 || !adt::write_all(1, line, (size_t)n)) exit(0);
}

// Answers a job from Corvane's reply line (null when none came; why then
// says what happened).
void answer_job(const Job &job, const char *reply, const char *why)
{
    int verdict = squid_verdict(reply);
    if (verdict != SQ_BH) {
        answer(job.channel, verdict, nullptr);
        return;
    }
    // A broken module may echo its request: such a reply is not shown.
    const char *text = !reply                            ? why
                       : askd_holds(reply, job.password) ? "Corvane cannot answer (a reply that "
                                                           "holds the password)"
                                                         : reply;
    say("%s", text);
    answer(job.channel, SQ_BH, text);
}

// A link to Corvane (ask.h) and the job it carries. Dropping a link
// closes Corvane's input; a child is then given a moment to end, and is
// stopped if it does not.
class Link
{
  public:
    Link() = default;
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    ~Link() { to_.close(hung_ ? 0 : ASK_GRACE); }

    // Opens the link as o says; 0 with the reason in why.
    int open(const AskOptions &o, char *why, size_t size)
    {
        struct timespec deadline = askd_deadline(o.Timeout);
        return to_.open(o, &deadline, why, size);
    }
    int fd() const { return to_.fd(); }
    Job *job() const { return job_.get(); }
    bool usable() { return to_.usable(); }

    // Sends the job's command; the link then carries it until its reply.
    bool send(std::unique_ptr<Job> &job, int timeout)
    {
        job->deadline = askd_deadline(timeout);
        if (!to_.send(job->command, (size_t)job->len, &job->deadline)) return false;
        job_ = std::move(job);
        return true;
    }

    // Takes what Corvane wrote: 1 when the reply line is whole (the job is
    // answered and the link is idle again), 0 when more is to come, -1 when
    // the link is broken. The job of a broken link is answered BH, or, when
    // the link had served before and no byte of the reply came, handed back
    // in retry to be sent once more: a Corvane that ended between two
    // requests, or a daemon that closed an idle connection, is no failure.
    // A reply longer than a line is taken cut: only its start decides.
    int take(std::unique_ptr<Job> &retry)
    {
        char line[ASKD_BUF];
        struct timespec now = askd_deadline(0);
        bool begun = to_.holds_part();
        int r = to_.read_line(line, sizeof line, &now);
        if (r == -2) return 0;
        if (r <= 0 && served_ && !begun && !line[0] && !job_->again) {
            job_->again = true;
            retry = std::move(job_);
            return -1;
        }
        if (r <= 0)
            answer_job(*job_, nullptr,
                       r < 0 ? "cannot read Corvane's reply" : "Corvane ended without a reply");
        else
            answer_job(*job_, line, nullptr);
        explicit_bzero(line, sizeof line);
        job_.reset();
        served_++;
        return r > 0 ? 1 : -1;
    }

    // Answers the job BH when its time is up; the link is then useless, as
    // its reply could still come and be taken for the next one's.
    bool expired()
    {
        if (!job_ || askd_left(&job_->deadline) > 0) return false;
        answer_job(*job_, nullptr, "no reply from Corvane within the time-out");
        job_.reset();
        hung_ = true;
        return true;
    }

  private:
    AskLink to_;
    bool hung_ = false;
    int served_ = 0; // replies read
    std::unique_ptr<Job> job_;
};

// The helper's state: requests waiting, the links, Squid's input.
class Helper
{
  public:
    Helper(const AskOptions &o, bool concurrent) : o_(o), concurrent_(concurrent)
    {
        askd_reader_init(&in_, 0, inbuf_, sizeof inbuf_);
    }
    ~Helper() { explicit_bzero(inbuf_, sizeof inbuf_); }

    int run()
    {
        for (bool open_input = true;;) {
            dispatch();
            if (!open_input && queue_.empty() && !busy()) return 0;
            std::vector<struct pollfd> p;
            if (open_input) p.push_back({0, POLLIN, 0});
            for (auto &l : links_)
                if (l->job()) p.push_back({l->fd(), POLLIN, 0});
            int r = poll(p.data(), p.size(), wait_ms());
            if (r < 0 && errno != EINTR) {
                say("cannot wait for input: %s", strerror(errno));
                return 1;
            }
            for (auto &q : p)
                if (q.revents && q.fd == 0)
                    open_input = read_input();
                else if (q.revents)
                    take_reply(q.fd);
            for (size_t i = links_.size(); i-- > 0;)
                if (links_[i]->expired()) links_.erase(links_.begin() + (long)i);
        }
    }

  private:
    bool busy() const
    {
        for (auto &l : links_)
            if (l->job()) return true;
        return false;
    }

    // Milliseconds until the nearest deadline, -1 for none.
    int wait_ms() const
    {
        int ms = -1;
        for (auto &l : links_)
            if (l->job()) {
                int left = askd_left(&l->job()->deadline);
                if (ms < 0 || left < ms) ms = left;
            }
        return ms;
    }

    void drop(Link *link)
    {
        for (auto it = links_.begin(); it != links_.end(); ++it)
            if (it->get() == link) {
                links_.erase(it);
                return;
            }
    }

    // An idle link that still works (broken ones are dropped), a new one
    // while there is room, or null (with why set when a new one failed).
    Link *idle_link(std::string &why)
    {
        for (size_t i = 0; i < links_.size();) {
            if (links_[i]->job()) {
                i++;
                continue;
            }
            if (links_[i]->usable()) return links_[i].get();
            links_.erase(links_.begin() + (long)i);
        }
        size_t most = o_.Socket ? LINKS_MAX : 1;
        if (links_.size() >= most) return nullptr;
        auto link = std::make_unique<Link>();
        char err[ASKD_BUF];
        if (!link->open(o_, err, sizeof err)) {
            why = err;
            return nullptr;
        }
        links_.push_back(std::move(link));
        return links_.back().get();
    }

    // Hands waiting requests to links. A send that fails on a link that
    // was idle (Corvane or the daemon gone since) is tried once more on a
    // new link.
    void dispatch()
    {
        while (!queue_.empty()) {
            std::string why;
            bool sent = false;
            for (int attempt = 0; attempt < 2 && !sent; attempt++) {
                Link *link = idle_link(why);
                if (!link) break;
                sent = link->send(queue_.front(), o_.Timeout);
                if (!sent) {
                    why = std::string("cannot send to Corvane: ") + strerror(errno);
                    drop(link);
                }
            }
            if (sent) {
                queue_.pop_front();
                continue;
            }
            if (why.empty()) return; // every link busy: wait for one
            answer_job(*queue_.front(), nullptr, why.c_str());
            queue_.pop_front();
        }
    }

    void take_reply(int fd)
    {
        for (auto &l : links_)
            if (l->fd() == fd && l->job()) {
                std::unique_ptr<Job> retry;
                if (l->take(retry) >= 0) return;
                drop(l.get());
                if (retry) queue_.push_front(std::move(retry));
                return;
            }
    }

    // Reads what Squid wrote and handles every whole line; false at the
    // end of the input. A line too long to be read whole is refused on its
    // own channel, which its start names.
    bool read_input()
    {
        struct timespec now = askd_deadline(0);
        char line[SQ_INPUT];
        int r;
        while ((r = askd_read_line(&in_, line, sizeof line, &now)) > 0)
            if (r == 1)
                request(line);
            else
                refuse_long(line);
        explicit_bzero(line, sizeof line);
        return r == -2;
    }

    void refuse_long(const char *head)
    {
        char channel[SQ_CHANNEL_MAX + 1] = "";
        size_t n = concurrent_ ? strspn(head, "0123456789") : 0;
        if (n <= SQ_CHANNEL_MAX) memcpy(channel, head, n);
        answer(channel, SQ_ERR, "request too long");
    }

    void request(char *line)
    {
        SquidRequest r;
        squid_parse(line, concurrent_, &r);
        if (r.Verdict == SQ_ASK) {
            auto job = std::make_unique<Job>();
            memcpy(job->channel, r.Channel, sizeof job->channel);
            const AskLogin &l = r.Login;
            int n = askd_check_line(job->command, sizeof job->command - 1, l.User, l.Password,
                                    l.Address);
            strncpy(job->password, l.Password, sizeof job->password - 1);
            if (n > 0) {
                memcpy(job->command + n, "\n", 2);
                job->len = n + 1;
                queue_.push_back(std::move(job));
                return;
            }
            r.Verdict = SQ_ERR;
            r.Why = "a login too long for a Corvane command";
        }
        if (r.Verdict == SQ_BH) say("%s", r.Why);
        answer(r.Channel, r.Verdict, r.Why);
    }

    const AskOptions &o_;
    bool concurrent_;
    std::deque<std::unique_ptr<Job>> queue_;
    std::vector<std::unique_ptr<Link>> links_;
    askd_reader in_;
    char inbuf_[SQ_INPUT];
};

// Reads the options into o and *concurrent; 0 on success, -1 after
// --help, else the exit status.
int parse_options(int argc, char **argv, AskOptions *o, bool *concurrent)
{
    ask_options_init(o);
    for (int i = 1; i < argc; i++) {
        const char *name = ask_option_name(argv[i]);
        if (name && !strcmp(name, "help")) {
            printf("%sdefaults: --corvane %s --path %s --socket %s --timeout %d\n", Usage,
                   ask_default_corvane(), ask_default_path(), CORVANE_SOCKET, ASK_TIMEOUT);
            return -1;
        }
        if (name && !strcmp(name, "concurrency")) {
            *concurrent = true;
            continue;
        }
        char err[ASKD_BUF];
        int known = ask_option(o, argc, argv, &i, err, sizeof err);
        if (known <= 0) {
            say(known ? "%s" : "unknown option %s", known ? err : argv[i]);
            return ASK_MISUSE;
        }
    }
    if (o->Socket && o->ChildNamed) {
        say("--socket asks a running daemon: --corvane and --path do not apply");
        return ASK_MISUSE;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (!ask_init()) return 1;
    AskOptions o;
    bool concurrent = false;
    int status = parse_options(argc, argv, &o, &concurrent);
    if (status) {
        if (status > 0) fputs(Usage, stderr);
        return status < 0 ? 0 : status;
    }
    // Squid gone, a reply cannot be written and the helper ends (answer).
    signal(SIGPIPE, SIG_IGN);
    Helper h(o, concurrent);
    return h.run();
}
